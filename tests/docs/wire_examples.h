#pragma once
// The worked examples of docs/protocol.md, read out of the markdown so that a test can
// replay them. An example is a fenced block whose info string is "wire":
//
//   ```wire
//   # version and server name               <- the first comment names the example
//   ! failures [{"fn": "getServerVariableAsString"}]   <- optional, before the first request
//   > 02                                     <- request bytes; more ">" lines continue it
//   < 02 00 05 30 2E 39 2E 39  # tag, version  <- answer bytes; "<" alone: nothing comes back
//   > 03                                     <- a new request on the same simulated server
//   <
//   ```
//
// Bytes are two hex digits each, separated by blanks; "#" starts a comment. The failures
// are host failure rules in the scenario JSON format of g19-hostsim, added to the example
// server for this block only.
//
// The field encodings are shown in blocks whose info string is "encoding", one field a line:
//
//   ```encoding
//   u16 300 = 01 2C          # TYPE VALUE = BYTES; TYPE is u8, u16, u32, i64 or string
//   string "abc" = 00 03 61 62 63
//   ```

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace docs {

using Bytes = std::vector<std::uint8_t>;

struct Exchange {
    int line = 0;  // of the first request line
    Bytes request;
    Bytes answer;
    bool answered = false;  // a "<" line was seen
};

struct Example {
    int line = 0;  // of the opening fence
    std::string name;
    std::string failuresJson;  // a JSON array, or empty
    std::vector<Exchange> exchanges;
};

// One field and its bytes on the wire.
struct Encoding {
    int line = 0;
    std::string type;
    std::string value;  // as written: a decimal number, or the text between the quotes
    Bytes bytes;
};

struct Document {
    std::vector<Example> examples;
    std::vector<Encoding> encodings;
    // "line N: what is wrong", for malformed blocks and for hex outside the checked blocks,
    // which no test would check.
    std::vector<std::string> errors;
};

Document parseDocument(const std::string& markdown);

std::string hex(const Bytes& bytes);

// For the test names' listing: the example's name, not its bytes.
void PrintTo(const Example& example, std::ostream* out);

}  // namespace docs
