#ifndef ENV_TESTS_MESSAGECAPTURE_H
#define ENV_TESTS_MESSAGECAPTURE_H

#include <QList>
#include <QString>
#include <QtGlobal>

// Collects what goes through Qt's message logger while it lives. Only one may
// live at a time; the previous handler is restored on destruction.
class MessageCapture
{
public:
    struct Entry {
        QtMsgType type;
        QString category;
        QString message;
    };

    MessageCapture()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    MessageCapture(MessageCapture const &) = delete;
    MessageCapture &operator=(MessageCapture const &) = delete;

    QList<Entry> const &entries() const { return m_entries; }
    void clear() { m_entries.clear(); }

    // Index of the first entry of the given type whose message starts with
    // prefix, or -1.
    int indexOf(QtMsgType type, QString const &prefix) const
    {
        for (int i = 0; i < m_entries.size(); ++i) {
            if (m_entries.at(i).type == type && m_entries.at(i).message.startsWith(prefix))
                return i;
        }
        return -1;
    }
    bool contains(QtMsgType type, QString const &prefix) const { return indexOf(type, prefix) >= 0; }
    Entry entry(QtMsgType type, QString const &prefix) const { return m_entries.value(indexOf(type, prefix)); }

private:
    static MessageCapture *&current()
    {
        static MessageCapture *instance = nullptr;
        return instance;
    }
    static void handle(QtMsgType type, QMessageLogContext const &context, QString const &message)
    {
        if (MessageCapture *capture = current())
            capture->m_entries.append({type, QString::fromUtf8(context.category ? context.category : ""), message});
    }

    QtMessageHandler m_previous = nullptr;
    QList<Entry> m_entries;
};

#endif
