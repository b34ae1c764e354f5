// The JSON-line transport against real Unix sockets in a private directory.
#include "ipc.h"
#include "json.h"
#include "log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> g_lines;

// Records every dispatched line and answers with a short echo.
void record_handler(ipc_server *, ipc_stream *slot, char *line) {
    g_lines.emplace_back(line);
    std::string reply = "got " + std::to_string(strlen(line));
    if (strlen(line) < 64) {
        reply += " " + std::string(line);
    }
    ipc_stream_queue_line(slot, reply.c_str());
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

class IpcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        char tmpl[] = "/tmp/kiv-ipc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/sub/kivd.sock";
    }
    void TearDown() override {
        ipc_server_destroy(server_);
        for (int fd : clients_) {
            if (fd >= 0) {
                close(fd);
            }
        }
        nftw(dir_.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
    }

    void start_server() {
        server_ = ipc_server_create(path_.c_str());
        ASSERT_NE(server_, nullptr);
    }
    int connect_client() {
        int fd = ipc_connect(path_.c_str());
        EXPECT_GE(fd, 0) << strerror(errno);
        if (fd >= 0) {
            clients_.push_back(fd);
        }
        return fd;
    }
    // Accepts and services until pred holds; false after a generous deadline.
    template <typename Pred> bool service_until(Pred pred) {
        int64_t deadline = now_ms() + 10000;
        while (now_ms() < deadline) {
            ipc_server_accept_all(server_);
            ipc_server_service(server_, record_handler);
            if (pred()) {
                return true;
            }
            usleep(1000);
        }
        return false;
    }
    // Sends all of data, servicing the server in between so large writes
    // are not stuck on a full socket buffer.
    void pump_send(int fd, const std::string &data) {
        size_t done = 0;
        int64_t deadline = now_ms() + 10000;
        while (done < data.size() && now_ms() < deadline) {
            ssize_t n =
                send(fd, data.data() + done, data.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                break;
            }
            ipc_server_accept_all(server_);
            ipc_server_service(server_, record_handler);
        }
        ASSERT_EQ(done, data.size());
    }
    int open_slots() const {
        int n = 0;
        for (const ipc_stream &slot : server_->slots) {
            n += slot.fd >= 0;
        }
        return n;
    }
    // Waits until the peer's end reports end of stream (or a reset).
    static bool peer_closed(int fd) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            return false;
        }
        char buf[256];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
            if (n < 0) {
                if (errno != EAGAIN) {
                    return false;
                }
                if (poll(&p, 1, 10000) <= 0) {
                    return false;
                }
            }
        }
    }

    std::string dir_;
    std::string path_;
    ipc_server *server_ = nullptr;
    std::vector<int> clients_;
};

struct FramingCase {
    const char *name;
    std::string bytes;
    std::vector<std::string> lines; // dispatched, in order
    bool closed;
};

TEST_F(IpcTest, RequestFraming) {
    const std::vector<FramingCase> cases = {
        {"longest line", std::string(65534, 'a') + "\n", {std::string(65534, 'a')}, false},
        {"full buffer without line feed", std::string(65535, 'a'), {}, true},
        {"two requests in one write", "{\"a\":1}\n{\"b\":2}\n", {"{\"a\":1}", "{\"b\":2}"}, false},
        {"carriage return dropped", "{\"c\":3}\r\n", {"{\"c\":3}"}, false},
        {"empty lines skipped", "\n\r\nend\n", {"end"}, false},
        {"lone carriage return kept mid-line", "a\rb\n", {"a\rb"}, false},
        {"NUL byte", std::string("ab\0c\n", 5), {}, true},
    };
    start_server();
    for (const FramingCase &c : cases) {
        SCOPED_TRACE(c.name);
        g_lines.clear();
        int fd = connect_client();
        ASSERT_GE(fd, 0);
        pump_send(fd, c.bytes);
        if (c.closed) {
            ASSERT_TRUE(service_until([&] { return open_slots() == 0; }));
            EXPECT_TRUE(g_lines.empty());
            EXPECT_TRUE(peer_closed(fd));
        } else {
            ASSERT_TRUE(service_until([&] { return g_lines.size() >= c.lines.size(); }));
            EXPECT_EQ(g_lines, c.lines);
            for (const std::string &line : c.lines) {
                char reply[256];
                ASSERT_EQ(ipc_recv_line(fd, reply, sizeof(reply), 10000), 0) << strerror(errno);
                std::string expect = "got " + std::to_string(line.size());
                if (line.size() < 64) {
                    expect += " " + line;
                }
                // The client side drops every carriage return.
                std::erase(expect, '\r');
                EXPECT_EQ(reply, expect);
            }
            EXPECT_EQ(open_slots(), 1);
        }
        close(fd);
        clients_.pop_back();
        ASSERT_TRUE(service_until([&] { return open_slots() == 0; }));
    }
}

TEST_F(IpcTest, OneServiceCallDispatchesEveryCompleteLine) {
    start_server();
    int fd = connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
    ASSERT_EQ(send(fd, "one\ntwo\nthree", 13, MSG_NOSIGNAL), 13);
    pollfd p = {server_->slots[0].fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ipc_stream_service(&server_->slots[0], now_ms(), record_handler, server_);
    EXPECT_EQ(g_lines, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(std::string(server_->slots[0].input), "three");
    EXPECT_EQ(server_->slots[0].input_len, 5u);
}

// Given poll's results, a service reads only the connections poll reported.
TEST_F(IpcTest, ServiceReadsOnlyWhatPollReported) {
    start_server();
    // One at a time, so the first takes slot 0 and the poll entry 0.
    int quiet = connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
    int talking = connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 2; }));
    ASSERT_EQ(send(quiet, "early\n", 6, MSG_NOSIGNAL), 6);
    ASSERT_EQ(send(talking, "late\n", 5, MSG_NOSIGNAL), 5);
    pollfd entries[IPC_MAX_CLIENTS];
    int count = ipc_server_poll_entries(server_, entries);
    ASSERT_EQ(count, 2);
    ASSERT_EQ(entries[0].fd, server_->slots[0].fd);
    // A Unix socket's send puts the bytes in the peer's queue at once.
    ASSERT_EQ(poll(entries, static_cast<nfds_t>(count), 10000), 2);
    // As if poll had reported the second connection alone.
    entries[0].revents = 0;
    ipc_server_take_events(server_, entries, count);
    ipc_server_service(server_, record_handler);
    EXPECT_EQ(g_lines, (std::vector<std::string>{"late"}));
    // Without poll's results every connection is tried.
    ipc_server_service(server_, record_handler);
    EXPECT_EQ(g_lines, (std::vector<std::string>{"late", "early"}));
}

TEST_F(IpcTest, SeventeenthConnectionIsClosed) {
    start_server();
    for (int i = 0; i < IPC_MAX_CLIENTS; i++) {
        ASSERT_GE(connect_client(), 0);
    }
    ASSERT_TRUE(service_until([&] { return open_slots() == IPC_MAX_CLIENTS; }));
    uint64_t counters[IPC_MAX_CLIENTS];
    for (int i = 0; i < IPC_MAX_CLIENTS; i++) {
        counters[i] = server_->slots[i].connection;
        EXPECT_EQ(counters[i], 1u);
    }
    int extra = connect_client();
    ASSERT_GE(extra, 0);
    ipc_server_accept_all(server_);
    EXPECT_TRUE(peer_closed(extra));
    EXPECT_EQ(open_slots(), IPC_MAX_CLIENTS);

    // A freed slot is taken by the next connection, with its counter raised.
    close(clients_[3]);
    clients_[3] = -1;
    ASSERT_TRUE(service_until([&] { return open_slots() == IPC_MAX_CLIENTS - 1; }));
    EXPECT_EQ(server_->slots[3].fd, -1);
    ASSERT_GE(connect_client(), 0);
    ASSERT_TRUE(service_until([&] { return open_slots() == IPC_MAX_CLIENTS; }));
    EXPECT_EQ(server_->slots[3].connection, 2u);
}

struct TimeoutCase {
    const char *name;
    const char *first;      // sent at t0 (null: nothing)
    const char *second;     // sent at t0 + 60 s (null: nothing)
    int64_t check_after_ms; // service again at t0 + this
    bool closed;
};

TEST_F(IpcTest, IdleAndPartialLineTimeouts) {
    const std::vector<TimeoutCase> cases = {
        {"silent just before idle limit", nullptr, nullptr, 119999, false},
        {"silent at idle limit", nullptr, nullptr, 120000, true},
        {"complete line keeps the idle clock", "a\n", nullptr, 119999, false},
        {"half line kept alive still times out", "ab", "cd", 120000, true},
        {"half line before the limit", "ab", "cd", 119999, false},
        {"finished line restarts the partial clock", "ab", "cd\nef", 120000, false},
    };
    start_server();
    for (const TimeoutCase &c : cases) {
        SCOPED_TRACE(c.name);
        g_lines.clear();
        int fd = connect_client();
        ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
        ipc_stream *slot = &server_->slots[0];
        int64_t t0 = slot->last_recv_ms;
        auto deliver = [&](const char *text, int64_t at) {
            ASSERT_EQ(send(fd, text, strlen(text), MSG_NOSIGNAL),
                      static_cast<ssize_t>(strlen(text)));
            pollfd p = {slot->fd, POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 10000), 1);
            ipc_stream_service(slot, at, record_handler, server_);
            ASSERT_GE(slot->fd, 0);
        };
        if (c.first != nullptr) {
            deliver(c.first, t0);
        }
        if (c.second != nullptr) {
            deliver(c.second, t0 + 60000);
        }
        ipc_stream_service(slot, t0 + c.check_after_ms, record_handler, server_);
        EXPECT_EQ(slot->fd < 0, c.closed);
        if (c.closed) {
            EXPECT_TRUE(peer_closed(fd));
        }
        close(fd);
        clients_.pop_back();
        ASSERT_TRUE(service_until([&] { return open_slots() == 0; }));
    }
}

// The loop sleeps as long as the timeout says; waking then must find the
// connection expired, never a moment early.
TEST_F(IpcTest, TimeoutLeadsToTheFirstDeadline) {
    start_server();
    EXPECT_EQ(ipc_server_timeout_ms(server_, now_ms()), -1);
    int fd = connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
    ipc_stream *slot = &server_->slots[0];
    int64_t t0 = slot->last_recv_ms;
    EXPECT_EQ(ipc_server_timeout_ms(server_, t0), IPC_IDLE_TIMEOUT_MS + 1);

    // A line left unfinished keeps its own deadline however long more of it
    // keeps the connection from idling.
    for (auto [text, at] : {std::pair{"ab", t0 + 1000}, std::pair{"cd", t0 + 50000}}) {
        ASSERT_EQ(send(fd, text, 2, MSG_NOSIGNAL), 2);
        pollfd p = {slot->fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        ipc_stream_service(slot, at, record_handler, server_);
    }
    int64_t at = t0 + 60000;
    int wait = ipc_server_timeout_ms(server_, at);
    EXPECT_EQ(wait, IPC_PARTIAL_TIMEOUT_MS - 59000 + 1);
    ipc_stream_service(slot, at + wait - 2, record_handler, server_);
    EXPECT_GE(slot->fd, 0);
    ipc_stream_service(slot, at + wait, record_handler, server_);
    EXPECT_LT(slot->fd, 0);
    EXPECT_TRUE(peer_closed(fd));
    EXPECT_EQ(ipc_server_timeout_ms(server_, at + wait), -1);
    close(fd);
    clients_.pop_back();
}

TEST_F(IpcTest, SecondServerFailsAtTheLockAndFirstKeepsServing) {
    start_server();
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    EXPECT_EQ(before.st_mode & 0777, 0600u);

    EXPECT_EQ(ipc_server_create(path_.c_str()), nullptr);

    struct stat after;
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    int fd = connect_client();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ipc_send_line(fd, "{\"cmd\":\"status\"}"), 0);
    ASSERT_TRUE(service_until([&] { return g_lines.size() == 1; }));
    char reply[128];
    ASSERT_EQ(ipc_recv_line(fd, reply, sizeof(reply), 10000), 0);
    EXPECT_STREQ(reply, "got 16 {\"cmd\":\"status\"}");

    // Destroy removes the socket file; the lock file stays, unlocked.
    ipc_server_destroy(server_);
    server_ = nullptr;
    EXPECT_NE(access(path_.c_str(), F_OK), 0);
    std::string lock = path_ + ".lock";
    ASSERT_EQ(stat(lock.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 0777, 0600u);
    start_server();
}

TEST_F(IpcTest, StaleSocketFileIsReplaced) {
    std::string sub = dir_ + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path_.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    close(stale);
    ASSERT_EQ(access(path_.c_str(), F_OK), 0);
    EXPECT_LT(ipc_connect(path_.c_str()), 0);

    start_server();
    int fd = connect_client();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ipc_send_line(fd, "x"), 0);
    ASSERT_TRUE(service_until([&] { return g_lines.size() == 1; }));
}

TEST_F(IpcTest, DescriptorsAreCloseOnExecAndServerSideNonBlocking) {
    start_server();
    int client = connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
    for (int fd :
         {server_->listener->listen_fd, server_->listener->lock_fd, server_->slots[0].fd, client}) {
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    }
    for (int fd : {server_->listener->listen_fd, server_->slots[0].fd}) {
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK) << fd;
    }
    EXPECT_EQ(ipc_server_listen_fd(server_), server_->listener->listen_fd);
    EXPECT_EQ(ipc_server_listen_fd(nullptr), -1);
}

TEST_F(IpcTest, OutputLimitsCloseTheConnection) {
    start_server();
    // A single line longer than 65535 bytes.
    int fd = connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
    ipc_stream_queue_line(&server_->slots[0], std::string(65536, 'x').c_str());
    EXPECT_EQ(server_->slots[0].fd, -1);
    EXPECT_TRUE(peer_closed(fd));

    // A peer that never reads: the queue may not pass 262144 bytes.
    connect_client();
    ASSERT_TRUE(service_until([&] { return open_slots() == 1; }));
    ipc_stream *slot = &server_->slots[0];
    const std::string chunk(60000, 'y');
    bool saw_pending = false;
    for (int i = 0; i < 200 && slot->fd >= 0; i++) {
        ipc_stream_queue_line(slot, chunk.c_str());
        if (slot->fd >= 0 && slot->output_pos < slot->output_len) {
            saw_pending = true;
            EXPECT_LE(slot->output_len - slot->output_pos, 262144u);
            pollfd entries[IPC_MAX_CLIENTS];
            ASSERT_EQ(ipc_server_poll_entries(server_, entries), 1);
            EXPECT_EQ(entries[0].events, POLLIN | POLLOUT);
        }
    }
    EXPECT_TRUE(saw_pending);
    EXPECT_EQ(slot->fd, -1);
}

struct RecvCase {
    const char *name;
    std::string peer; // bytes the peer writes
    bool peer_closes;
    size_t size;
    int ms;
    int rc;
    int err;          // expected errno when rc is -1 (0: not checked)
    const char *text; // expected buffer when rc is 0
};

TEST(IpcRecvLine, Cases) {
    const std::vector<RecvCase> cases = {
        {"plain line", "{\"status\":\"ok\"}\n", false, 64, 1000, 0, 0, "{\"status\":\"ok\"}"},
        {"carriage returns dropped", "o\rk\r\n", false, 64, 1000, 0, 0, "ok"},
        {"exactly fills buffer", "abc\n", false, 4, 1000, 0, 0, "abc"},
        {"longer than buffer", "abcd\n", false, 4, 1000, -1, EMSGSIZE, nullptr},
        {"only a line feed", "\n", false, 64, 1000, -1, 0, nullptr},
        {"NUL byte", std::string("a\0b\n", 4), false, 64, 1000, -1, EPROTO, nullptr},
        {"peer never answers", "", false, 64, 200, -1, ETIMEDOUT, nullptr},
        {"half line then silence", "abc", false, 64, 200, -1, ETIMEDOUT, nullptr},
        {"end of stream", "abc", true, 64, 1000, -1, 0, nullptr},
        {"buffer too small", "x\n", false, 1, 1000, -1, EINVAL, nullptr},
        {"no time", "x\n", false, 64, 0, -1, EINVAL, nullptr},
    };
    for (const RecvCase &c : cases) {
        SCOPED_TRACE(c.name);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        if (!c.peer.empty()) {
            ASSERT_EQ(send(sv[1], c.peer.data(), c.peer.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(c.peer.size()));
        }
        if (c.peer_closes) {
            close(sv[1]);
            sv[1] = -1;
        }
        char buf[64];
        memset(buf, '#', sizeof(buf));
        errno = 0;
        int rc = ipc_recv_line(sv[0], buf, c.size, c.ms);
        int err = errno;
        EXPECT_EQ(rc, c.rc);
        if (rc == 0 && c.text != nullptr) {
            EXPECT_STREQ(buf, c.text);
        }
        if (rc == -1 && c.err != 0) {
            EXPECT_EQ(err, c.err) << strerror(err);
        }
        close(sv[0]);
        if (sv[1] >= 0) {
            close(sv[1]);
        }
    }
}

TEST(IpcRecvLine, BytesAfterTheLineStayForTheNextRead) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ASSERT_EQ(ipc_send_line(sv[1], "first"), 0);
    ASSERT_EQ(ipc_send_line(sv[1], "second"), 0);
    char buf[64];
    ASSERT_EQ(ipc_recv_line(sv[0], buf, sizeof(buf), 1000), 0);
    EXPECT_STREQ(buf, "first");
    ASSERT_EQ(ipc_recv_line(sv[0], buf, sizeof(buf), 1000), 0);
    EXPECT_STREQ(buf, "second");
    close(sv[0]);
    close(sv[1]);
}

TEST(IpcClient, SendToClosedPeerFailsWithoutSignal) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    close(sv[1]);
    EXPECT_EQ(ipc_send_line(sv[0], "{\"cmd\":\"status\"}"), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(ipc_send_line(sv[0], nullptr), -1);
    close(sv[0]);
}

TEST(IpcClient, PathLimits) {
    std::string too_long = "/tmp/" + std::string(IPC_SOCKET_PATH_MAX, 'p');
    EXPECT_EQ(ipc_connect(too_long.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(ipc_connect(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ipc_server_socket(too_long.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(ipc_listen_locked(too_long.c_str()), nullptr);
    EXPECT_EQ(ipc_server_create(nullptr), nullptr);
    EXPECT_EQ(ipc_set_timeouts(-1, 100), -1);
    EXPECT_EQ(ipc_set_timeouts(0, 0), -1);
}

TEST(Json, Quote) {
    struct Case {
        const char *name;
        const char *text;
        const char *quoted; // null: cannot be produced
    };
    const Case cases[] = {
        {"quotation mark", "/home/u/a\"b.png", "\"/home/u/a\\\"b.png\""},
        {"null text", nullptr, "\"\""},
        {"backslash and control", "a\\b\nc\x01", "\"a\\\\b\\nc\\u0001\""},
        {"solidus and UTF-8 kept", "/tmp/för.mp4", "\"/tmp/för.mp4\""},
        {"invalid UTF-8", "bad\xff", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char *quoted = json_quote(c.text);
        if (c.quoted == nullptr) {
            EXPECT_EQ(quoted, nullptr);
        } else {
            ASSERT_NE(quoted, nullptr);
            EXPECT_STREQ(quoted, c.quoted);
        }
        free(quoted);
    }
}

TEST(Json, ReplyIsOk) {
    struct Case {
        const char *reply;
        bool ok;
    };
    const Case cases[] = {
        {"{\"status\":\"ok\",\"x\":1}", true},
        {"{\"x\":1,\"status\":\"ok\"}", true},
        {"{\"status\":\"error\"}", false},
        {"{\"status\":true}", false},
        {"[\"status\",\"ok\"]", false},
        {"{\"status\":\"ok\",\"status\":\"error\"}", true},
        {"{\"status\":\"error\",\"status\":\"ok\"}", false},
        {"{\"status\":\"ok \"}", false},
        {"{\"status\":\"ok\\u0000\"}", false},
        {"{\"status\":\"ok\"", false},
        {"{\"status\":\"ok\",}", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(json_reply_is_ok(c.reply), c.ok) << (c.reply ? c.reply : "(null)");
    }
}

TEST(Json, IsPlainString) {
    struct Case {
        const char *name;
        std::string json;
        bool plain;
    };
    const std::vector<Case> cases = {
        {"empty", "\"\"", false},
        {"one byte", "\"a\"", true},
        {"1023 bytes", "\"" + std::string(1023, 'a') + "\"", true},
        {"1024 bytes", "\"" + std::string(1024, 'a') + "\"", false},
        {"number", "42", false},
        {"NUL inside", "\"a\\u0000b\"", false},
        {"null", "null", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        yyjson_doc *doc = yyjson_read(c.json.data(), c.json.size(), 0);
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(json_is_plain_string(yyjson_doc_get_root(doc)), c.plain);
        yyjson_doc_free(doc);
    }
    EXPECT_FALSE(json_is_plain_string(nullptr));
}

TEST(Json, ObjFirstTakesTheFirstMember) {
    const char *text = "{\"cmd\":\"a\",\"cmd\":\"b\"}";
    yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(yyjson_equals_str(json_obj_first(yyjson_doc_get_root(doc), "cmd"), "a"));
    EXPECT_EQ(json_obj_first(yyjson_doc_get_root(doc), "none"), nullptr);
    EXPECT_EQ(json_obj_first(nullptr, "cmd"), nullptr);
    yyjson_doc_free(doc);
}

} // namespace
