// Line reading through the I/O handler beside a plain recv loop over the same loopback data in
// the same run: 100 MB of short CR LF lines (20 to 80 bytes), each side measured five times.
// Usage: bench_readline [megabytes]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/Exceptions.h"
#include "net/SocketHandler.h"
#include "net/TCPClient.h"

using namespace larkpost;

namespace {

std::string MakeData(size_t bytes) {
    std::string data;
    data.reserve(bytes + 100);
    unsigned seed = 1;
    size_t n = 0;
    while (data.size() < bytes) {
        seed = seed * 1103515245u + 12345u;
        size_t length = 20 + (seed >> 16) % 61;  // 20..80 bytes with the CR LF
        std::string line = "250-line " + std::to_string(n++) + " ";
        while (line.size() < length - 2) line += static_cast<char>('a' + line.size() % 26);
        line.resize(length - 2);
        data += line;
        data += "\r\n";
    }
    return data;
}

// CPU time of the calling thread: on a busy machine the wall clock also measures the others.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Serves the data to one client on a loopback port, then closes.
class Sender {
public:
    explicit Sender(const std::string& data) : m_data(data) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(m_listen, 1) != 0)
            throw std::runtime_error("listen failed");
        socklen_t length = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &length);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            int fd = ::accept(m_listen, nullptr, nullptr);
            size_t off = 0;
            while (fd >= 0 && off < m_data.size()) {
                ssize_t n = ::send(fd, m_data.data() + off,
                                   std::min<size_t>(65536, m_data.size() - off), MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            if (fd >= 0) ::close(fd);
            m_cpu = ThreadCpuSeconds();
        });
    }
    ~Sender() {
        if (m_thread.joinable()) m_thread.join();
        ::close(m_listen);
    }
    uint16_t Port() const { return m_port; }
    // The sending thread's CPU time, once it has finished.
    double CpuSeconds() {
        if (m_thread.joinable()) m_thread.join();
        return m_cpu;
    }

private:
    double m_cpu = 0;
    const std::string& m_data;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Bytes received by plain recv calls of the handler's chunk size.
size_t PlainRecv(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("connect failed");
    std::vector<char> buffer(32768);
    size_t total = 0;
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        total += static_cast<size_t>(n);
    }
    ::close(fd);
    return total;
}

// Bytes of the lines (with their CR LF) read by ReadLine until the peer's close.
size_t HandlerReadLines(uint16_t port, size_t& lines) {
    TLpIOHandlerStack handler;
    TLpTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    client.SetIOHandler(&handler);
    client.EstablishConnection();
    size_t total = 0;
    lines = 0;
    std::string line;
    try {
        for (;;) {
            handler.ReadLineInto(line);
            total += line.size() + 2;
            ++lines;
        }
    } catch (const ELpConnClosedGracefully&) {
    }
    client.CloseConnection();
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const std::string data = MakeData(megabytes * 1000 * 1000);
    const double mb = data.size() / 1e6;
    std::printf("data: %.1f MB of CR LF lines, 20 to 80 bytes each\n", mb);

    std::vector<double> plain, handler, plainCpu, handlerCpu;
    double plainSenderCpu = 0, handlerSenderCpu = 0;
    // Round 0 warms the sockets and the allocator and is not counted; then five rounds, the two
    // readers taking turns so both meet the same machine.
    const int rounds = 6;
    for (int round = 0; round < rounds; ++round) {
        {
            Sender sender(data);
            auto start = std::chrono::steady_clock::now();
            double cpu = ThreadCpuSeconds();
            size_t got = PlainRecv(sender.Port());
            plainCpu.push_back(ThreadCpuSeconds() - cpu);
            double s = Seconds(std::chrono::steady_clock::now() - start);
            if (got != data.size()) std::fprintf(stderr, "plain loop got %zu bytes\n", got);
            plain.push_back(mb / s);
            plainSenderCpu = sender.CpuSeconds();
        }
        {
            Sender sender(data);
            size_t lines = 0;
            auto start = std::chrono::steady_clock::now();
            double cpu = ThreadCpuSeconds();
            size_t got = HandlerReadLines(sender.Port(), lines);
            handlerCpu.push_back(ThreadCpuSeconds() - cpu);
            double s = Seconds(std::chrono::steady_clock::now() - start);
            if (got != data.size()) std::fprintf(stderr, "handler got %zu bytes\n", got);
            handler.push_back(mb / s);
            handlerSenderCpu = sender.CpuSeconds();
            if (round == 1) std::printf("lines: %zu\n", lines);
        }
        if (round == 0) {
            plain.pop_back();
            handler.pop_back();
            plainCpu.pop_back();
            handlerCpu.pop_back();
            continue;
        }
        std::printf(
            "round %d: recv loop %.0f MB/s (CPU: reader %.0f ms, sender %.0f ms), ReadLine %.0f "
            "MB/s (CPU: reader %.0f ms, sender %.0f ms)\n",
            round, plain.back(), plainCpu.back() * 1000, plainSenderCpu * 1000, handler.back(),
            handlerCpu.back() * 1000, handlerSenderCpu * 1000);
    }
    std::sort(plain.begin(), plain.end());
    std::sort(handler.begin(), handler.end());
    const size_t mid = plain.size() / 2;
    std::printf("median: recv loop %.0f MB/s, ReadLine %.0f MB/s, ratio %.2f\n", plain[mid],
                handler[mid], handler[mid] / plain[mid]);
    return 0;
}
