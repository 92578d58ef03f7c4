#pragma once
// The commands of the program that prove files, without a display or a cable:
//   tx9-logger --verify [--allowed-signers FILE] [--seal HASH@ROWS] FILE...
//     one line per file on standard output ("FILE: intact: ..." or what is wrong); exit 0
//     when every file is intact, 11 when one was changed or its signature or seal does not
//     hold, 12 when one has no signature (and nothing else is wrong), 9 when one cannot be
//     read, 2 for a wrong command line.
//   tx9-logger --public-key [--signing-key FILE]
//     the line for an allowed_signers file ("tx9-logger@host ssh-ed25519 AAAA..."), exit 0.

#include <optional>

namespace ProofCommand {

// The exit status when the command line is one of these commands; none for any other.
std::optional<int> run(int argc, char **argv);

} // namespace ProofCommand
