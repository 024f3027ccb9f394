// A minimal SMTP server on a loopback ephemeral port for the window tests: it accepts one
// client, says yes to every command, takes the message after DATA, and records everything the
// client sent. (The scripted server compares exact bytes; a window send carries a Date header
// and MIME boundaries that change with every run.)
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace larkpost {

class TSmtpPeer {
public:
    TSmtpPeer() {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        listen(m_listener, 1);
        m_thread = std::thread([this] { Serve(); });
    }
    ~TSmtpPeer() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }

    int Port() const { return m_port; }
    std::string Received() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

private:
    // Every wait is bounded, so a client that never comes or never ends cannot hang the test.
    bool WaitReadable(int fd) {
        for (int waited = 0; waited < 10000 && !m_stop; waited += 50) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }

    void Serve() {
        if (!WaitReadable(m_listener)) return;
        const int fd = accept(m_listener, nullptr, nullptr);
        if (fd < 0) return;
        auto say = [fd](const std::string& line) { (void)!write(fd, line.data(), line.size()); };
        say("220 peer.test ESMTP\r\n");
        std::string pending;
        bool inData = false;
        char buf[4096];
        while (WaitReadable(fd)) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.append(buf, static_cast<size_t>(n));
            }
            pending.append(buf, static_cast<size_t>(n));
            for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (inData) {
                    if (line == ".") {
                        inData = false;
                        say("250 2.0.0 queued\r\n");
                    }
                    continue;
                }
                const std::string verb = line.substr(0, 4);
                if (verb == "EHLO" || verb == "HELO") {
                    say("250 peer.test\r\n");
                } else if (verb == "DATA") {
                    inData = true;
                    say("354 go ahead\r\n");
                } else if (verb == "QUIT") {
                    say("221 bye\r\n");
                    close(fd);
                    return;
                } else {
                    say("250 2.1.0 ok\r\n");
                }
            }
        }
        close(fd);
    }

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::string m_received;
    std::thread m_thread;
};

}  // namespace larkpost
