// Passthrough over the project's nfqueue backend: every packet of queue 6715 is written
// back at once. Prints "ready" when the queue is bound; on SIGTERM or SIGINT prints
// "packets=<n> bytes=<n> cpu_seconds=<user+system>" and exits.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "firewall/NfqueueDivertSocket.h"

int main() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    quellbox::NfqueueDivertSocket socket;
    if (socket.open() != 0 || socket.bind(quellbox::DivertSocket::kDivertPort) != 0) {
        std::fprintf(stderr, "nfqueue_passthrough_backend: cannot open queue %d: %s\n",
                     quellbox::DivertSocket::kDivertPort, std::strerror(errno));
        return 1;
    }
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        socket.close();
    });
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<std::uint8_t> buffer(quellbox::DivertSocket::kMaxPacketSize);
    unsigned long long packets = 0;
    unsigned long long bytes = 0;
    for (;;) {
        sockaddr_in token{};
        socklen_t tokenLength = 0;
        const ssize_t length = socket.receive(buffer.data(), buffer.size(), &token, &tokenLength);
        if (length < 0) {
            if (errno == EMSGSIZE) {
                continue;
            }
            break;
        }
        socket.send(buffer.data(), static_cast<std::size_t>(length), token, tokenLength);
        ++packets;
        bytes += static_cast<unsigned long long>(length);
    }
    stopper.join();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("packets=%llu bytes=%llu cpu_seconds=%.3f\n", packets, bytes, cpu);
    return 0;
}
