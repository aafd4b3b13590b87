// A TCP forwarder for bench/run that plays a flaky server: it passes every
// connection on to the real server and resets one whenever a response body it
// carries reaches one of the given file offsets, each offset once.
//
//   orbistane-drop-proxy [--refuse-after-last-cut] LISTEN_PORT UPSTREAM_PORT [CUT_OFFSET...]
//
// Both ports are on 127.0.0.1. The offsets count from the start of the file,
// whichever part of it a response carries: a 206 answer to "Range: bytes=N-"
// starts at N (read from its Content-Range), a 200 at 0. A response is cut at the
// first offset not yet used that lies inside it, so a client that resumes after a
// cut is cut again further on, and forwarded whole once every offset was used.
// The bytes before the offset are let reach the client before the reset, which
// would discard them, so that the client holds exactly the file up to the
// offset. Bodies are spliced, never copied.
// With --refuse-after-last-cut it plays a server that went down: once the last
// offset is cut at, it stops listening, so that every new connection is refused.
// Prints "listening" once it accepts connections, "cut at OFFSET" for each cut
// and "refusing" when it stopped listening, on stdout; runs until it is killed,
// or its parent ends.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Large moves keep the system calls per GiB few, so that the proxy costs the
// transfer little next to the client and the server.
constexpr std::size_t BufferSize = 1 << 20;
// A header block longer than this is not parsed; the connection is forwarded as is.
constexpr std::size_t MaxHeaderSize = 64 * 1024;

// The offsets not yet cut at, shared by every connection: a resumed request must
// go past the point where the one before it was cut.
class CutPoints final
{
public:
    explicit CutPoints(std::set<std::uint64_t> points) : m_points(std::move(points)) {}

    // The first offset not yet used in (begin, end).
    std::optional<std::uint64_t> within(std::uint64_t begin, std::uint64_t end) const
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_points.upper_bound(begin);
        if (it == m_points.end() || *it >= end) {
            return std::nullopt;
        }
        return *it;
    }

    // False when another connection used the offset first.
    bool take(std::uint64_t point)
    {
        const std::lock_guard lock(m_mutex);
        return m_points.erase(point) == 1;
    }

    bool used() const
    {
        const std::lock_guard lock(m_mutex);
        return m_points.empty();
    }

private:
    mutable std::mutex m_mutex;
    std::set<std::uint64_t> m_points;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::uint64_t> number(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// One header block, request or response, as far as the proxy needs it.
struct Head
{
    std::string_view firstLine;
    std::optional<std::uint64_t> contentLength;
    std::optional<std::uint64_t> rangeStart; // from Content-Range: bytes N-M/T
    bool chunked = false;
};

Head parseHead(std::string_view block)
{
    Head head;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart < block.size()) {
        std::size_t lineEnd = block.find("\r\n", lineStart);
        if (lineEnd == std::string_view::npos) {
            lineEnd = block.size();
        }
        const std::string_view line = block.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (first) {
            head.firstLine = line;
            first = false;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "Content-Length")) {
            head.contentLength = number(value);
        } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
            // Any coding but identity: the body's end is not counted, only followed.
            head.chunked = !equalsIgnoringCase(value, "identity");
        } else if (equalsIgnoringCase(name, "Content-Range") && value.starts_with("bytes ")) {
            const std::string_view range = value.substr(6);
            head.rangeStart = number(range.substr(0, range.find('-')));
        }
    }
    return head;
}

// Gathers a header block across reads; says how many of the bytes given were its.
class HeadReader final
{
public:
    // Returns the bytes taken from data; complete() tells whether the block ended.
    std::size_t feed(const char *data, std::size_t size)
    {
        const std::size_t before = m_block.size();
        const std::size_t taken = std::min(size, MaxHeaderSize + 4 - before);
        m_block.append(data, taken);
        const std::size_t end = m_block.find("\r\n\r\n", before < 3 ? 0 : before - 3);
        if (end == std::string::npos) {
            return taken;
        }
        m_block.resize(end + 4);
        m_complete = true;
        return end + 4 - before;
    }

    bool complete() const { return m_complete; }
    bool overlong() const { return !m_complete && m_block.size() > MaxHeaderSize; }
    std::string_view block() const { return m_block; }

    void clear()
    {
        m_block.clear();
        m_complete = false;
    }

private:
    std::string m_block;
    bool m_complete = false;
};

// Follows the requests going up, so that the responses coming down can be told
// apart on a kept-alive connection: the answer to a HEAD has no body.
class RequestWatcher final
{
public:
    explicit RequestWatcher(std::deque<bool> &heads) : m_heads(heads) {}

    void feed(const char *data, std::size_t size)
    {
        while (size > 0 && !m_blind) {
            if (m_bodyLeft > 0) {
                const std::size_t n = std::min<std::uint64_t>(size, m_bodyLeft);
                m_bodyLeft -= n;
                data += n;
                size -= n;
                continue;
            }
            const std::size_t n = m_reader.feed(data, size);
            data += n;
            size -= n;
            if (m_reader.overlong()) {
                m_blind = true;
            } else if (m_reader.complete()) {
                const Head head = parseHead(m_reader.block());
                m_heads.push_back(head.firstLine.starts_with("HEAD "));
                m_bodyLeft = head.contentLength.value_or(0);
                m_reader.clear();
            }
        }
    }

private:
    std::deque<bool> &m_heads;
    HeadReader m_reader;
    std::uint64_t m_bodyLeft = 0;
    bool m_blind = false;
};

// What to do with bytes read from the server.
struct Verdict
{
    std::size_t forward; // pass on this many
    bool cut;            // then reset the connection
};

// Follows the responses coming down and decides where to cut.
class ResponseCutter final
{
public:
    ResponseCutter(std::deque<bool> &heads, CutPoints &cuts) : m_heads(heads), m_cuts(cuts) {}

    // Bytes read from the server, headers or body.
    Verdict feed(const char *data, std::size_t size)
    {
        std::size_t done = 0;
        while (done < size) {
            if (m_mode == Mode::Head) {
                done += m_reader.feed(data + done, size - done);
                if (m_reader.overlong()) {
                    m_mode = Mode::Through;
                } else if (m_reader.complete()) {
                    startBody(parseHead(m_reader.block()));
                    m_reader.clear();
                }
                continue;
            }
            const std::size_t n = std::min<std::uint64_t>(size - done, blindSpan());
            done += n;
            if (passed(n)) {
                return {done, true};
            }
        }
        return {size, false};
    }

    // How many of the next bytes may be passed on without being looked at: the
    // rest of a body up to the next cut, or 0 while headers are due.
    std::uint64_t blindSpan() const
    {
        if (m_mode == Mode::Through) {
            return UINT64_MAX;
        }
        if (m_mode == Mode::Head) {
            return 0;
        }
        // Short of the body's end: a cut after its last byte would lose the client
        // nothing.
        const std::optional<std::uint64_t> cut =
            m_cuttable ? m_cuts.within(m_position, m_position + m_bodyLeft) : std::nullopt;
        return cut ? *cut - m_position : m_bodyLeft;
    }

    // Counts n bytes of the blind span as passed on; true when the connection
    // is to be cut there.
    bool passed(std::uint64_t n)
    {
        if (m_mode != Mode::Body || n == 0) {
            return false;
        }
        m_position += n;
        m_bodyLeft -= n;
        if (m_bodyLeft == 0) {
            m_mode = Mode::Head;
            return false;
        }
        // Another connection may have taken the offset first; then the span
        // simply goes on to the next one.
        if (m_cuttable && m_cuts.take(m_position)) {
            m_lastCut = m_position;
            return true;
        }
        return false;
    }

    std::uint64_t lastCut() const { return m_lastCut; }

private:
    enum class Mode { Head, Body, Through };

    void startBody(const Head &head)
    {
        int status = 0;
        const std::string_view line = head.firstLine;
        const std::size_t space = line.find(' ');
        if (space != std::string_view::npos) {
            const std::string_view code = line.substr(space + 1, 3);
            std::from_chars(code.data(), code.data() + code.size(), status);
        }
        if (status >= 100 && status < 200 && status != 101) {
            return; // an interim answer; the real one follows
        }
        bool isHead = false;
        if (!m_heads.empty()) {
            isHead = m_heads.front();
            m_heads.pop_front();
        }
        if (isHead || status == 204 || status == 304) {
            return;
        }
        if (head.chunked || !head.contentLength || status == 101) {
            m_mode = Mode::Through; // ends with the connection; never cut
            return;
        }
        m_bodyLeft = *head.contentLength;
        m_mode = m_bodyLeft > 0 ? Mode::Body : Mode::Head;
        // Only a body that is the file from a known offset is cut: a 200, or a
        // 206 with one range. Cuts are looked for strictly after the body's first
        // offset, so that a request resumed at a used offset is not cut at once.
        m_cuttable = status == 200 || (status == 206 && head.rangeStart);
        m_position = status == 206 ? head.rangeStart.value_or(0) : 0;
    }

    std::deque<bool> &m_heads;
    CutPoints &m_cuts;
    HeadReader m_reader;
    Mode m_mode = Mode::Head;
    std::uint64_t m_bodyLeft = 0;
    std::uint64_t m_position = 0;
    bool m_cuttable = false;
    std::uint64_t m_lastCut = 0;
};

// Closes with a reset instead of a FIN, as a server that went away would.
void reset(int fd)
{
    const linger abrupt{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    close(fd);
}

// Waits, 2 s at most, until the peer has acknowledged everything sent to it.
void drain(int fd)
{
    for (int i = 0; i < 2000; ++i) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0) {
            return;
        }
        usleep(1000);
    }
}

bool sendAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int connectTo(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Moves bytes from socket to socket through a pipe, so that the proxy never copies
// them: bodies cost it a fraction of reading and writing them.
class Splicer final
{
public:
    Splicer()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return; // then everything is read and written
        }
        m_out = ends[0];
        m_in = ends[1];
        fcntl(m_in, F_SETPIPE_SZ, static_cast<int>(BufferSize));
        m_capacity = static_cast<std::size_t>(std::max(fcntl(m_in, F_GETPIPE_SZ), 4096));
    }

    ~Splicer()
    {
        if (m_out >= 0) {
            close(m_out);
            close(m_in);
        }
    }

    Splicer(const Splicer &) = delete;
    Splicer &operator=(const Splicer &) = delete;

    bool usable() const { return m_out >= 0; }

    // Moves at most `most` of the bytes waiting on `from` to `to`: the count, 0 at
    // the end of the stream, -1 with errno set (EAGAIN: nothing was waiting).
    ssize_t move(int from, int to, std::uint64_t most)
    {
        const std::size_t wanted = std::min<std::uint64_t>(most, m_capacity);
        const ssize_t in = splice(from, nullptr, m_in, nullptr, wanted,
                                  SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (in <= 0) {
            return in;
        }
        std::size_t left = static_cast<std::size_t>(in);
        while (left > 0) {
            const ssize_t out = splice(m_out, nullptr, to, nullptr, left, SPLICE_F_MOVE);
            if (out < 0 && errno == EINTR) {
                continue;
            }
            if (out <= 0) {
                errno = out == 0 ? EPIPE : errno;
                return -1;
            }
            left -= static_cast<std::size_t>(out);
        }
        return in;
    }

private:
    int m_out = -1;
    int m_in = -1;
    std::size_t m_capacity = 0;
};

// The listening socket, closed to new connections once every offset was cut at
// when that was asked for.
struct Listener
{
    int fd = -1;
    bool refuseAfterLastCut = false;
    std::atomic<bool> refusing{false};

    // Before the cut connection is reset, so that the client's next attempt
    // finds nobody listening. On Linux, shutting a listening socket down stops
    // the listening at once, and wakes the accept() waiting on it.
    void afterCut(const CutPoints &cuts)
    {
        if (refuseAfterLastCut && cuts.used() && !refusing.exchange(true)) {
            shutdown(fd, SHUT_RDWR);
            std::printf("refusing\n");
            std::fflush(stdout);
        }
    }
};

// One thread per connection, both directions in one poll loop: the thread owns
// both sockets, so a cut can reset them at once without racing another reader.
void serve(int client, std::uint16_t upstreamPort, CutPoints &cuts, Listener &listener)
{
    const int upstream = connectTo(upstreamPort);
    if (upstream < 0) {
        std::fprintf(stderr, "cannot reach 127.0.0.1:%u: %s\n", upstreamPort, std::strerror(errno));
        reset(client);
        return;
    }
    std::deque<bool> heads;
    RequestWatcher requests(heads);
    ResponseCutter responses(heads, cuts);
    Splicer splicer;
    std::vector<char> buffer(BufferSize);
    pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            const ssize_t n = read(client, buffer.data(), buffer.size());
            if (n < 0) {
                break;
            }
            if (n == 0) {
                shutdown(upstream, SHUT_WR);
                fds[0].fd = -1;
            } else {
                requests.feed(buffer.data(), static_cast<std::size_t>(n));
                if (!sendAll(upstream, buffer.data(), static_cast<std::size_t>(n))) {
                    break;
                }
            }
        }
        if (fds[1].revents != 0) {
            const std::uint64_t span = responses.blindSpan();
            Verdict verdict{0, false};
            ssize_t n = 0;
            if (span > 0 && splicer.usable()) {
                n = splicer.move(upstream, client, span);
                if (n < 0 && errno == EAGAIN) {
                    continue;
                }
                verdict.cut = n > 0 && responses.passed(static_cast<std::uint64_t>(n));
            } else {
                n = read(upstream, buffer.data(), buffer.size());
                if (n > 0) {
                    verdict = responses.feed(buffer.data(), static_cast<std::size_t>(n));
                    if (!sendAll(client, buffer.data(), verdict.forward)) {
                        break;
                    }
                }
            }
            if (n < 0) {
                break;
            }
            if (n == 0) {
                shutdown(client, SHUT_WR);
                fds[1].fd = -1;
                continue;
            }
            if (verdict.cut) {
                drain(client);
                std::printf("cut at %llu\n", static_cast<unsigned long long>(responses.lastCut()));
                std::fflush(stdout);
                listener.afterCut(cuts);
                break;
            }
        }
    }
    // Closed in order, both ways, when both sides were done; reset otherwise.
    if (fds[0].fd < 0 && fds[1].fd < 0) {
        close(client);
        close(upstream);
    } else {
        reset(client);
        reset(upstream);
    }
}

std::optional<std::uint16_t> portArgument(std::string_view text)
{
    const std::optional<std::uint64_t> value = number(text);
    if (!value || *value == 0 || *value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

int usage()
{
    std::fprintf(
        stderr,
        "usage: orbistane-drop-proxy [--refuse-after-last-cut] LISTEN_PORT UPSTREAM_PORT\n"
        "                            [CUT_OFFSET...]\n"
        "  forwards 127.0.0.1:LISTEN_PORT to 127.0.0.1:UPSTREAM_PORT and resets\n"
        "  the connection when a response body reaches each file offset given;\n"
        "  --refuse-after-last-cut: then stops listening, so new connections are refused\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    Listener listener;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "--refuse-after-last-cut") {
        listener.refuseAfterLastCut = true;
        first = 2;
    }
    if (argc < first + 2) {
        return usage();
    }
    const std::optional<std::uint16_t> listenPort = portArgument(argv[first]);
    const std::optional<std::uint16_t> upstreamPort = portArgument(argv[first + 1]);
    std::set<std::uint64_t> points;
    for (int i = first + 2; i < argc; ++i) {
        const std::optional<std::uint64_t> point = number(argv[i]);
        if (!point || *point == 0) {
            std::fprintf(stderr, "not a file offset above 0: %s\n", argv[i]);
            return usage();
        }
        points.insert(*point);
    }
    if (!listenPort || !upstreamPort) {
        return usage();
    }
    if (listener.refuseAfterLastCut && points.empty()) {
        std::fprintf(stderr, "--refuse-after-last-cut needs an offset to cut at\n");
        return usage();
    }
    // A bench script that dies without killing the proxy takes it along.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        return 1;
    }

    listener.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(*listenPort);
    if (listener.fd < 0 ||
        bind(listener.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.fd, 64) != 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u: %s\n", *listenPort,
                     std::strerror(errno));
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", *listenPort);
    std::fflush(stdout);

    CutPoints cuts(std::move(points));
    for (;;) {
        const int client = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) {
                continue;
            }
            if (listener.refusing) {
                break;
            }
            std::fprintf(stderr, "accept: %s\n", std::strerror(errno));
            return 1;
        }
        std::thread(serve, client, *upstreamPort, std::ref(cuts), std::ref(listener)).detach();
    }
    // Down for new connections; the ones already open go on until it is killed.
    close(listener.fd);
    for (;;) {
        pause();
    }
}
