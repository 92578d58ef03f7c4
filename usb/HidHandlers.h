#pragma once
// Bound event handlers: an object and one of its methods. A handler counts as set when its
// method is set, and two handlers are the same when their methods are the same, whatever the
// object.

#include <QByteArray>
#include <cstring>
#include <functional>
#include <typeinfo>

template <typename Signature> class Bound;

template <typename R, typename... Args> class Bound<R(Args...)>
{
public:
    Bound() = default;
    template <typename C, typename M>
    Bound(C *object, M method)
        : m_call([object, method](Args... args) -> R { return (object->*method)(args...); }),
          m_method(keyOf(method))
    {}

    explicit operator bool() const { return !m_method.isEmpty(); }
    bool sameAs(const Bound &other) const { return m_method == other.m_method; }
    R operator()(Args... args) const { return m_call(args...); }

private:
    template <typename M> static QByteArray keyOf(M method)
    {
        QByteArray key(typeid(M).name());
        key.append(reinterpret_cast<const char *>(&method), sizeof(method));
        return key;
    }

    std::function<R(Args...)> m_call;
    QByteArray m_method;
};

class THidDevice;
class QObject;

using THidDataEvent = Bound<void(THidDevice *, quint8, const quint8 *, quint16)>;
using THidDataErrorEvent = Bound<void(THidDevice *, quint32)>;
using THidPlugEvent = Bound<void(THidDevice *)>;
using THidEnumerateEvent = Bound<bool(THidDevice *, int)>;
using TNotifyEvent = Bound<void(QObject *)>;
