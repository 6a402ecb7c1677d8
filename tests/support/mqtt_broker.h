// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A real MQTT broker and subscriber for the tests: Debian's mosquitto and
// mosquitto_sub, started and stopped by the test.

#include "support/temp_env.h"

#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vistrel::test {

inline int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

inline bool Accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Debian's mosquitto on a free loopback port, keeping its sessions in a
// temporary folder across a stop and a start.
class Broker {
public:
    explicit Broker(const QTemporaryDir& dir)
        : port_(FreeLoopbackPort())
        , config_(dir.path().toStdString() + "/mosquitto.conf")
    {
        std::ofstream config(config_);
        config << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
               << "persistence true\npersistence_location " << dir.path().toStdString() << "/\n";
        if (const passwd* user = getpwuid(geteuid()))
            config << "user " << user->pw_name << "\n"; // as root it would turn into another user
    }
    ~Broker() { Stop(); }

    int port() const { return port_; }
    bool Start()
    {
        process_.start("mosquitto", {"-c", QString::fromStdString(config_)});
        return process_.waitForStarted() && waitFor([&] { return Accepts(port_); });
    }
    void Stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(30000))
            process_.kill();
        process_.waitForFinished();
    }

private:
    const int port_;
    const std::string config_;
    QProcess process_;
};

// mosquitto_sub with a session the broker keeps, so that nothing sent while
// it reconnects is missed. Each message is "<retained> <topic> <hex payload>".
class Subscriber {
public:
    struct Message {
        bool retained = false;
        std::string topic;
        std::string payload;
    };

    Subscriber(int port, QStringList topics, const QString& id, bool persistent)
    {
        QStringList args{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-i", id, "-F", "%r %t %x"};
        if (persistent)
            args << "-c";
        for (const QString& topic : topics)
            args << "-t" << topic;
        process_.start("mosquitto_sub", args);
        process_.waitForStarted();
    }
    ~Subscriber()
    {
        process_.kill();
        process_.waitForFinished();
    }

    // Every message so far (reads what has arrived).
    const std::vector<Message>& messages()
    {
        pending_ += process_.readAllStandardOutput();
        int newline;
        while ((newline = pending_.indexOf('\n')) >= 0) {
            const QList<QByteArray> fields = pending_.left(newline).split(' ');
            pending_.remove(0, newline + 1);
            Message message;
            message.retained = fields.value(0) == "1";
            message.topic = fields.value(1).toStdString();
            message.payload = QByteArray::fromHex(fields.value(2)).toStdString();
            messages_.push_back(message);
        }
        return messages_;
    }
    // The payloads of one topic, in order.
    std::vector<std::string> On(const std::string& topic)
    {
        std::vector<std::string> payloads;
        for (const Message& message : messages())
            if (message.topic == topic)
                payloads.push_back(message.payload);
        return payloads;
    }

private:
    QProcess process_;
    QByteArray pending_;
    std::vector<Message> messages_;
};

} // namespace vistrel::test
