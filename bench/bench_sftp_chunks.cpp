// What the request length alone is worth: a pipelined SFTP download straight on
// libssh 0.10 (sftp_async_read_begin/sftp_async_read) with at most <requests>
// requests of <length> bytes, outside the library. It answers how far the read
// length could follow the server (OpenSSH serves up to 261120 bytes a read and
// says so by its "limits@openssh.com" extension) without more requests in flight.
//
//   bench_sftp_chunks <host> <port> <user> <password> <remote> <local> <length> <requests> [nodelay]
//
// "nodelay" sets SSH_OPTIONS_NODELAY (TCP_NODELAY), which libssh leaves off.
//
// Host keys are not checked: this is a measuring tool for a server the benchmark
// has just started itself.

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 9 && !(argc == 10 && std::string(argv[9]) == "nodelay")) {
        std::fprintf(stderr,
            "usage: %s <host> <port> <user> <password> <remote> <local> <length> <requests> [nodelay]\n", argv[0]);
        return 2;
    }
    const unsigned length = unsigned(std::strtoul(argv[7], nullptr, 10));
    const size_t requests = size_t(std::strtoul(argv[8], nullptr, 10));
    const auto start = std::chrono::steady_clock::now();

    ssh_session session = ssh_new();
    const int port = std::atoi(argv[2]);
    ssh_options_set(session, SSH_OPTIONS_HOST, argv[1]);
    ssh_options_set(session, SSH_OPTIONS_PORT, &port);
    ssh_options_set(session, SSH_OPTIONS_USER, argv[3]);
    ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, "/dev/null");
    const int noDelay = argc == 10 ? 1 : 0;
    ssh_options_set(session, SSH_OPTIONS_NODELAY, &noDelay);
    if (ssh_connect(session) != SSH_OK || ssh_userauth_password(session, nullptr, argv[4]) != SSH_AUTH_SUCCESS) {
        std::fprintf(stderr, "login failed: %s\n", ssh_get_error(session));
        return 1;
    }
    sftp_session sftp = sftp_new(session);
    if (!sftp || sftp_init(sftp) != SSH_OK) {
        std::fprintf(stderr, "sftp failed: %s\n", ssh_get_error(session));
        return 1;
    }
    const bool limits = sftp_extension_supported(sftp, "limits@openssh.com", "1");
    sftp_attributes attributes = sftp_stat(sftp, argv[5]);
    sftp_file file = sftp_open(sftp, argv[5], O_RDONLY, 0);
    if (!attributes || !file) {
        std::fprintf(stderr, "open failed: %s\n", ssh_get_error(session));
        return 1;
    }
    const uint64_t size = attributes->size;
    sftp_attributes_free(attributes);
    FILE *out = std::fopen(argv[6], "wb");
    if (!out)
        return 1;

    std::vector<char> buffer(length);
    std::deque<std::pair<uint32_t, unsigned>> pending; // request id, bytes asked
    uint64_t requested = 0, received = 0;
    unsigned shortReads = 0;
    auto issue = [&] {
        const unsigned n = unsigned(std::min<uint64_t>(length, size - requested));
        const int id = sftp_async_read_begin(file, n);
        if (id < 0)
            return false;
        pending.emplace_back(uint32_t(id), n);
        requested += n;
        return true;
    };
    while (pending.size() < requests && requested < size) {
        if (!issue())
            return 1;
    }
    while (!pending.empty()) {
        const auto [id, asked] = pending.front();
        pending.pop_front();
        const int n = sftp_async_read(file, buffer.data(), asked, id);
        if (n < 0) {
            std::fprintf(stderr, "read failed: %s\n", ssh_get_error(session));
            return 1;
        }
        if (unsigned(n) != asked) {
            // The requests behind this one already asked for the following bytes:
            // a short read leaves a hole this tool does not mend.
            ++shortReads;
            std::fprintf(stderr, "short read: %d of %u\n", n, asked);
            return 3;
        }
        std::fwrite(buffer.data(), 1, size_t(n), out);
        received += unsigned(n);
        if (requested < size && !issue())
            return 1;
    }
    std::fclose(out);
    sftp_close(file);
    sftp_free(sftp);
    ssh_disconnect(session);
    ssh_free(session);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("RESULT seconds=%.6f bytes=%llu length=%u requests=%zu limits_extension=%d short_reads=%u nodelay=%d\n",
        seconds, static_cast<unsigned long long>(received), length, requests, limits ? 1 : 0, shortReads, noDelay);
    return 0;
}
