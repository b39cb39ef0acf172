#ifndef ENV_TESTS_MESSAGECAPTURE_H
#define ENV_TESTS_MESSAGECAPTURE_H

#include <QList>
#include <QString>
#include <QtGlobal>

// Records every Qt message while it lives and restores the previous handler
// afterwards. QTest::ignoreMessage cannot count lines, this can.
class MessageCapture
{
public:
    struct Message {
        QtMsgType type;
        QString text;
        QString category;
    };

    MessageCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    MessageCapture(MessageCapture const &) = delete;
    MessageCapture &operator=(MessageCapture const &) = delete;

    // Number of lines of the given type that begin with the text.
    int count(QtMsgType type, QString const &prefix) const
    {
        int n = 0;
        for (Message const &m : m_messages) {
            if (m.type == type && m.text.startsWith(prefix))
                ++n;
        }
        return n;
    }
    QList<Message> const &messages() const { return m_messages; }
    void clear() { m_messages.clear(); }

private:
    static void handler(QtMsgType type, QMessageLogContext const &context, QString const &text)
    {
        if (s_current)
            s_current->m_messages.append({type, text, QString::fromLatin1(context.category)});
    }

    inline static MessageCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QList<Message> m_messages;
};

#endif
