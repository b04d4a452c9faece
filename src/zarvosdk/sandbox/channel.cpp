// One run: the request, the answer frame and the settling after it.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

/// After a run: stops the worker and checks that the sandbox holds nothing
/// but it and the next run's process, which the worker forks once it has
/// reaped every process of the run and which has run no code yet (it waits
/// for its code on a pipe of the worker's, so it is left running). Anything
/// more ends the sandbox: the next run starts a new one.
void Sandbox::settle() {
    signal_worker(SIGSTOP);
    std::size_t spares = 0;
    bool clean = true;
    for (long child : children_of(worker_)) {
        if (process_gone(child)) continue;
        if (++spares > 1 || !children_of(child).empty()) clean = false;
    }
    if (clean) return;
    stop();
    worker_ = -1;
}

/// The worker's answer pipe closed: waits (up to the deadline) for the
/// sandbox to end and says how it ended.
Answer Sandbox::ended(Clock::time_point deadline) {
    Answer answer;
    answer.outcome = Outcome::time;
    // Stopped already (the host is exiting): there is no process of its own
    // to wait for, and waitpid(-1) would reap one of the host's.
    if (pid_ <= 0) {
        answer.outcome = Outcome::ended;
        return answer;
    }
    while (seconds_left(deadline) > 0) {
        int status = 0;
        pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_ || (got < 0 && errno == ECHILD)) {
            pid_ = -1;
            answer.outcome = Outcome::ended;
            answer.status = status;
            // bubblewrap exits with 128 + the signal that ended the code.
            if (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGXFSZ)
                answer.outcome = Outcome::file_size;
            break;
        }
        pause_briefly();
    }
    if (hit_memory_limit()) answer.outcome = Outcome::memory;
    if (hit_process_limit()) answer.outcome = Outcome::processes;
    return answer;
}

/// Sends the request's length with the run's answer pipe attached.
Io send_with_descriptor(int socket, const unsigned char (&size)[4], int fd, Clock::time_point deadline) {
    if (!wait_ready(socket, POLLOUT, deadline)) return Io::late;
    struct iovec part = {const_cast<unsigned char*>(size), 4};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent <= 0) return Io::closed;
    if (sent < 4) return write_all(socket, reinterpret_cast<const char*>(size) + sent, 4 - static_cast<std::size_t>(sent), deadline);
    return Io::done;
}

Answer Sandbox::exchange(const std::string& code, const Limits& limits, Clock::time_point deadline) {
    Answer answer;
    if (!running()) return ended(deadline);  // settle() found more than the worker and its spare
    signal_worker(SIGCONT);
    // A pipe of this run's own: what an earlier run left in a pipe, or wrote
    // to a copy of its descriptor, is never read as this run's answer.
    int answer_pipe[2];
    if (pipe2(answer_pipe, O_CLOEXEC) != 0) {
        answer.outcome = Outcome::malformed;
        return answer;
    }
    Descriptors held;
    int answers = held.keep(answer_pipe[0]);
    fcntl(answers, F_SETFL, fcntl(answers, F_GETFL) | O_NONBLOCK);
    unsigned char size[4];
    std::uint32_t length = static_cast<std::uint32_t>(code.size());
    for (int i = 0; i < 4; ++i) size[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
    Io io = send_with_descriptor(requests_, size, answer_pipe[1], deadline);
    close(answer_pipe[1]);
    if (io == Io::done) io = write_all(requests_, code.data(), code.size(), deadline);
    unsigned char header[answer_header_size];
    if (io == Io::done) io = read_exact(answers, reinterpret_cast<char*>(header), sizeof header, deadline);
    if (io == Io::closed) return ended(deadline);
    if (io == Io::late) {
        answer.outcome = hit_process_limit() ? Outcome::processes : Outcome::time;
        return answer;
    }
    for (int i = 1; i <= 8; ++i) answer.total = (answer.total << 8) | header[i];
    std::uint32_t kept = 0;
    for (int i = 9; i <= 12; ++i) kept = (kept << 8) | header[i];
    char kind = static_cast<char>(header[0]);
    if (kept > static_cast<std::uint64_t>(limits.output_bytes) || (kind != 'o' && kind != 'm' && kind != 'p')) {
        answer.outcome = Outcome::malformed;
        return answer;
    }
    answer.text.resize(kept);
    io = kept ? read_exact(answers, &answer.text[0], kept, deadline) : Io::done;
    if (io == Io::closed) return ended(deadline);
    if (io == Io::late) answer.outcome = Outcome::time;
    else if (kind == 'm') answer.outcome = Outcome::memory;
    else if (kind == 'p') answer.outcome = Outcome::processes;
    if (hit_memory_limit()) answer.outcome = Outcome::memory;
    if (hit_process_limit()) answer.outcome = Outcome::processes;
    if (answer.outcome == Outcome::output) settle();
    return answer;
}

}  // namespace zarvosdk_sandbox
