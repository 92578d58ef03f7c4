#pragma once
// The exit statuses of the programs, with and without a window, in one place.

namespace Exit {

enum Status : int
{
    Ok = 0,                  // stopped as asked (signal, limit, duration, end of download)
    Failure = 1,             // anything else
    Usage = 2,               // the command line is wrong
    NoCable = 3,             // no "USB to Serial" cable (or not the one named)
    NoPermission = 4,        // the cable may not be opened for reading and writing
    NotWritable = 5,         // the data file cannot be created, or already holds something
    WriteFailed = 6,         // writing the data file failed during the run (disk full), or
                             // MQTT messages could not be kept in the outbox
    MqttRefused = 7,         // the broker refused the publishing's configuration before it ever
                             // connected (credentials, certificate), its outbox is in use, or
                             // another logger took the id over three times in ten minutes
    DownloadInterrupted = 8, // the cable went away or fell silent before the download's end
    // 9: a report's input cannot be read (the report command)
    CableInUse = 10, // the cable asked for is in use by another logger
    LockFailed = 11, // the lock of the cable's ID cannot be taken (its folder or file is not
                     // usable), and --no-id-lock was not given
};

} // namespace Exit
