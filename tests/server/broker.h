// A real mosquitto broker on 127.0.0.1 for the tests, on a port chosen at
// run time, started and ended (only it) by the test; and a subscriber that
// keeps every message it receives.
#pragma once

#include "support/wait_for.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testmqtt {

inline const char* BrokerPath()
{
    return ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
}

// A port nobody listens on now (the kernel's choice).
inline int FreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

inline bool Accepting(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

class Broker {
public:
    // port 0: one chosen now; otherwise that one (a broker started again).
    explicit Broker(const std::string& dir, int port = 0)
    {
        for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
            this->port = port ? port : FreePort();
            const std::string conf = dir + "/mosquitto.conf";
            std::ofstream(conf) << "listener " << this->port << " 127.0.0.1\nallow_anonymous true\n"
                                << "persistence false\n";
            const pid_t pid = ::fork();
            if (pid == 0) {
                const int log = ::open((dir + "/mosquitto.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                ::dup2(log, 1);
                ::dup2(log, 2);
                ::execl(BrokerPath(), BrokerPath(), "-c", conf.c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            int status = 0;
            const bool up = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) != 0 || Accepting(this->port); }, 10);
            if (up && ::waitpid(pid, &status, WNOHANG) == 0 && Accepting(this->port)) {
                m_pid = pid;
            } else {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }
    ~Broker() { stop(); }
    void stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    bool running() const { return m_pid > 0; }
    int port = 0;

private:
    pid_t m_pid = -1;
};

struct Message {
    std::string topic, payload;
    bool retained = false;
};

// Subscribes to a filter and keeps what arrives, on libmosquitto's own
// thread.
class Subscriber {
public:
    Subscriber(int port, const std::string& filter)
    {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> lock(s->m_mutex);
            s->m_messages.push_back({m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen),
                                     m->retain});
        });
        m_filter = filter;
        mosquitto_connect_callback_set(m_mosq, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->m_filter.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->m_subscribed = true;
        });
        if (mosquitto_connect(m_mosq, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS)
            mosquitto_loop_start(m_mosq);
        WaitFor([this] { return m_subscribed.load(); }, 10);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    bool subscribed() const { return m_subscribed; }
    std::vector<Message> messages()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    // The last message on the topic, or nullptr-like empty topic.
    Message last(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_messages.rbegin(); it != m_messages.rend(); ++it)
            if (it->topic == topic)
                return *it;
        return {};
    }
    int count(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const Message& m : m_messages)
            n += m.topic == topic;
        return n;
    }

private:
    mosquitto* m_mosq = nullptr;
    std::string m_filter;
    std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::atomic<bool> m_subscribed{false};
};

} // namespace testmqtt
