// Shared by the fuzz targets: failing checks, a private scratch directory and
// the exchange of request lines with a real server over its socket.
#pragma once

#include "ipc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A broken property found by a target: says which and aborts, which libFuzzer
// reports as a crash with the input that caused it.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fuzz_fail(__FILE__, __LINE__, #cond);                                                  \
    } while (0)

[[noreturn]] void fuzz_fail(const char *file, int line, const char *what);

// A directory of this process under /dev/shm (else /tmp), made on first use and removed at
// exit, with the XDG directories, HOME and PATH of the process pointed into
// it so nothing the code under test writes or starts lies outside.
const std::string &fuzz_scratch_dir(void);

// Creates (or truncates) file under the scratch directory with text; the
// full path.
std::string fuzz_write_file(const std::string &name, const uint8_t *data, size_t size);

// Fuzz inputs are split into separate writes (or reads) at this byte, which
// never occurs in UTF-8 text; the byte itself is not passed on.
constexpr uint8_t FUZZ_SPLIT = 0xff;

// The pieces of data between FUZZ_SPLIT bytes, empty ones included; they
// point into data.
std::vector<std::string_view> fuzz_pieces(const uint8_t *data, size_t size);

struct fuzz_exchange {
    std::vector<std::string> replies; // every complete line the server sent, in order
    size_t requests;                  // non-empty lines sent, each ended by a line feed
    bool closed;                      // the server closed the connection
};

// Connects a client to the server's socket, accepts it into a slot, sends the
// input piece by piece and services the server with handler until it has
// read everything, reading replies as they come. The connection is closed
// before returning.
fuzz_exchange fuzz_exchange_lines(ipc_server *server, ipc_line_handler handler, const uint8_t *data,
                                  size_t size);

// Fails unless line is a JSON object whose first "status" is "ok", or
// "error" together with a text "message".
void fuzz_check_reply(const std::string &line);
