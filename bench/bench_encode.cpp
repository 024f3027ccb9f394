// Attachment encoding speed: a message with one large file attachment written through the
// message writer into a null sink and over loopback TCP, beside coreutils "base64 -w 76" over the
// same file, with the peak resident memory of each run. Prints figures; asserts nothing.
//
// Usage: bench_encode [size-in-MB (default 200)] [existing file to attach instead]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mail/Message.h"
#include "mail/MessageClient.h"
#include "mail/MessagePart.h"
#include "mail/MimeTable.h"
#include "net/IOHandler.h"

using namespace larkpost;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// Counts what would go on the wire and drops it.
class NullSinkHandler : public TLpIOHandler {
public:
    uint64_t bytes = 0;
    bool WaitReadable(int) override { return false; }

protected:
    int ReceiveFromSocket(uint8_t*, int) override { return 0; }
    int SendToSocket(const uint8_t*, int length) override {
        bytes += static_cast<uint64_t>(length);
        return length;
    }
    bool SocketAvailable() override { return true; }
    int ErrorCodeOf(int) override { return 0; }
    [[noreturn]] void RaiseSocketFailure(int code) override {
        throw ELpException("socket failure " + std::to_string(code));
    }
};

void FillMessage(TLpMessage& message, const std::string& path) {
    message.ClearMessage();
    message.SetConvertPreamble(false);
    message.SetEncoding(meMIME);
    message.SetCharSet("utf-8");
    message.SetContentTransferEncoding("8bit");
    message.SetContentType("multipart/mixed");
    message.SetSubject("Benchmark");
    message.From().SetAddress("bench@example.test");
    message.Recipients().ParseAddressList("sink@example.test");
    message.MessageParts()
        .Add<TLpText>(std::vector<std::string>{"See the attachment."})
        .SetContentType("text/plain; charset=UTF-8");
    message.MessageParts().Add<TLpAttachmentFile>(path);
}

// Runs fn in a child process; returns its peak resident memory in KiB (the child's own, not
// the parent's) and passes back the child's one-line report.
long RunInChild(const std::function<std::string()>& fn, std::string& report) {
    int fds[2];
    if (::pipe(fds) != 0) std::exit(2);
    std::fflush(stdout);  // or the child would print the parent's pending lines again
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string text;
        try {
            text = fn();
        } catch (const std::exception& e) {
            text = std::string("failed: ") + e.what();
        }
        (void)!::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    report.clear();
    char buffer[512];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<size_t>(got));
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

std::string WriterToNullSink(const std::string& path, double& seconds) {
    NullSinkHandler handler;
    handler.OpenHandler();
    TLpMessageClient client;
    client.SetIOHandler(&handler);
    TLpMessage message;
    FillMessage(message, path);
    const auto start = Clock::now();
    client.WriteMessage(message);
    seconds = Seconds(start);
    client.SetIOHandler(nullptr);
    return std::to_string(handler.bytes);
}

// The writer on a real connection: the transport's socket handler to a reader on loopback that
// discards what it receives.
std::string WriterOverLoopback(const std::string& path, double& seconds) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0)
        throw ELpException("cannot listen on loopback");
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    uint64_t received = 0;
    std::thread reader([&] {
        const int peer = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(1 << 16);
        ssize_t got;
        while ((got = ::recv(peer, buffer.data(), buffer.size(), 0)) > 0)
            received += static_cast<uint64_t>(got);
        ::close(peer);
    });
    TLpMessageClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(ntohs(address.sin_port));
    client.EstablishConnection();
    TLpMessage message;
    FillMessage(message, path);
    const auto start = Clock::now();
    client.WriteMessage(message);
    client.CloseConnection(false);
    reader.join();
    seconds = Seconds(start);
    ::close(listener);
    return std::to_string(received);
}

}  // namespace

int main(int argc, char** argv) {
    const long sizeMb = argc > 1 ? std::atol(argv[1]) : 200;
    std::string path = argc > 2 ? argv[2] : "";
    std::filesystem::path tempDir;
    if (path.empty()) {
        tempDir = std::filesystem::temp_directory_path() /
                  ("larkpost-bench-encode-" + std::to_string(::getpid()));
        std::filesystem::create_directories(tempDir);
        path = (tempDir / "attachment.bin").string();
        std::ofstream out(path, std::ios::binary);
        std::mt19937_64 random(42);
        std::vector<uint64_t> block(1 << 17);  // 1 MiB
        for (long mb = 0; mb < sizeMb; ++mb) {
            for (auto& word : block) word = random();
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(block.size() * sizeof(uint64_t)));
        }
    }
    const double fileMb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    // Read once so both contenders start from the page cache.
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> buffer(1 << 20);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
               in.gcount() > 0) {
        }
    }
    std::printf("attachment: %s (%.1f MB)\n", path.c_str(), fileMb);

    {
        const auto start = Clock::now();
        MediaTypeForFile("a.pdf");
        const double first = Seconds(start);
        const auto again = Clock::now();
        for (int i = 0; i < 1000; ++i) MediaTypeForFile("a.pdf");
        std::printf("media-type table: first build %.2f ms, cached lookup %.2f us\n", first * 1e3,
                    Seconds(again) * 1e3);
    }

    for (int round = 1; round <= 2; ++round) {
        std::string report;
        double seconds = 0;
        long rss = RunInChild(
            [&] {
                double s = 0;
                const std::string bytes = WriterToNullSink(path, s);
                return bytes + " " + std::to_string(s);
            },
            report);
        std::sscanf(report.c_str(), "%*s %lf", &seconds);
        std::printf(
            "round %d  writer -> null sink:   %7.1f MB/s  peak RSS %6.1f MB  (%s bytes out)\n",
            round, fileMb / seconds, rss / 1024.0, report.substr(0, report.find(' ')).c_str());

        rss = RunInChild(
            [&] {
                double s = 0;
                const std::string bytes = WriterOverLoopback(path, s);
                return bytes + " " + std::to_string(s);
            },
            report);
        std::sscanf(report.c_str(), "%*s %lf", &seconds);
        std::printf(
            "round %d  writer -> loopback TCP: %7.1f MB/s  peak RSS %6.1f MB  (%s bytes out)\n",
            round, fileMb / seconds, rss / 1024.0, report.substr(0, report.find(' ')).c_str());

        const auto start = Clock::now();
        rss = RunInChild(
            [&]() -> std::string {
                const pid_t pid = ::fork();
                if (pid == 0) {
                    std::freopen("/dev/null", "w", stdout);
                    ::execlp("base64", "base64", "-w", "76", path.c_str(),
                             static_cast<char*>(nullptr));
                    ::_exit(127);
                }
                int status = 0;
                struct rusage usage {};
                ::wait4(pid, &status, 0, &usage);
                return std::to_string(usage.ru_maxrss);
            },
            report);
        seconds = Seconds(start);
        std::printf("round %d  coreutils base64 -w 76: %7.1f MB/s  peak RSS %6.1f MB\n", round,
                    fileMb / seconds, std::atol(report.c_str()) / 1024.0);
    }

    if (!tempDir.empty()) std::filesystem::remove_all(tempDir);
    return 0;
}
