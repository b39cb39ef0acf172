// A TCP relay that holds every byte for a fixed time in each direction, so that
// loopback gets the round trip of a distant server. The kernel here has no netem
// queueing discipline, hence this. The delay is applied per chunk read, and the
// relay never throttles: the protocols measured through it bound what is in flight.
//
//   bench_relay relay <listen-port|0> <target-port> <delay-ms>   prints "PORT <n>"
//   bench_relay echo                                              prints "PORT <n>"
//   bench_relay pingpong <port> <count>                           prints the median round trip
//
// Plain POSIX sockets and threads: a Qt event loop would add its own latency.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

void setNoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int listenOn(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        perror("bind/listen");
        std::exit(1);
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    std::printf("PORT %d\n", ntohs(addr.sin_port));
    std::fflush(stdout);
    return fd;
}

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    setNoDelay(fd);
    return fd;
}

bool writeAll(int fd, char const *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// One direction: a reader stamps each chunk with its due time, a writer sends it then.
class DelayedPipe
{
public:
    DelayedPipe(int from, int to, std::chrono::microseconds delay)
        : m_from(from)
        , m_to(to)
        , m_delay(delay)
    {
    }

    void run()
    {
        std::thread writer([this] { writeLoop(); });
        std::vector<char> buffer(256 * 1024);
        for (;;) {
            const ssize_t n = recv(m_from, buffer.data(), buffer.size(), 0);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n <= 0) {
                m_eof = true;
                m_wake.notify_one();
                break;
            }
            m_queue.push_back({Clock::now() + m_delay, std::string(buffer.data(), size_t(n))});
            m_wake.notify_one();
        }
        writer.join();
        shutdown(m_to, SHUT_WR);
    }

private:
    struct Chunk {
        Clock::time_point due;
        std::string data;
    };

    void writeLoop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_eof || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            Chunk chunk = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(chunk.due);
            const bool ok = writeAll(m_to, chunk.data.data(), chunk.data.size());
            lock.lock();
            if (!ok) {
                // The far side is gone; make the reader give up too.
                shutdown(m_from, SHUT_RD);
                return;
            }
        }
    }

    int m_from;
    int m_to;
    std::chrono::microseconds m_delay;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Chunk> m_queue;
    bool m_eof = false;
};

int runRelay(int listenPort, int targetPort, int delayMs)
{
    const int server = listenOn(listenPort);
    const std::chrono::microseconds delay(delayMs * 1000);
    for (;;) {
        const int client = accept(server, nullptr, nullptr);
        if (client < 0)
            continue;
        setNoDelay(client);
        const int target = connectTo(targetPort);
        if (target < 0) {
            close(client);
            continue;
        }
        std::thread([client, target, delay] {
            DelayedPipe up(client, target, delay);
            DelayedPipe down(target, client, delay);
            std::thread t([&down] { down.run(); });
            up.run();
            t.join();
            close(client);
            close(target);
        }).detach();
    }
}

int runEcho()
{
    const int server = listenOn(0);
    for (;;) {
        const int client = accept(server, nullptr, nullptr);
        if (client < 0)
            continue;
        setNoDelay(client);
        std::thread([client] {
            char buffer[65536];
            for (;;) {
                const ssize_t n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0 || !writeAll(client, buffer, size_t(n)))
                    break;
            }
            close(client);
        }).detach();
    }
}

int runPingPong(int port, int count)
{
    const int fd = connectTo(port);
    if (fd < 0) {
        perror("connect");
        return 1;
    }
    std::vector<double> rtts;
    for (int i = 0; i < count; ++i) {
        char byte = 'x';
        const auto start = Clock::now();
        if (!writeAll(fd, &byte, 1) || recv(fd, &byte, 1, MSG_WAITALL) != 1) {
            std::fprintf(stderr, "ping-pong broken\n");
            return 1;
        }
        rtts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    close(fd);
    std::sort(rtts.begin(), rtts.end());
    std::printf("RESULT rtt_ms=%.3f min_ms=%.3f max_ms=%.3f count=%d\n", rtts[rtts.size() / 2], rtts.front(),
        rtts.back(), count);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "relay" && argc == 5)
        return runRelay(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    if (mode == "echo")
        return runEcho();
    if (mode == "pingpong" && argc == 4)
        return runPingPong(std::atoi(argv[2]), std::atoi(argv[3]));
    std::fprintf(
        stderr, "usage: %s relay <listen-port> <target-port> <delay-ms> | echo | pingpong <port> <count>\n", argv[0]);
    return 2;
}
