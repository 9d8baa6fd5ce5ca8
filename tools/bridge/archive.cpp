#include "archive.h"

#include <boost/beast/zlib/deflate_stream.hpp>
#include <boost/beast/zlib/inflate_stream.hpp>
#include <boost/crc.hpp>

#include <algorithm>
#include <cstring>

namespace archive {

namespace {

namespace zlib = boost::beast::zlib;

// The window of every deflate stream: 32 KiB, the largest, as gzip and zip use.
constexpr int WINDOW_BITS = 15;
constexpr int MEMORY_LEVEL = 8;
constexpr int COMPRESSION_LEVEL = 6;

constexpr std::size_t TAR_BLOCK = 512;
constexpr std::size_t TAR_NAME_BYTES = 100;
constexpr std::size_t TAR_PREFIX_BYTES = 155;

constexpr std::uint32_t ZIP_LOCAL_HEADER = 0x04034b50;
constexpr std::uint32_t ZIP_CENTRAL_HEADER = 0x02014b50;
constexpr std::uint32_t ZIP_END_OF_DIRECTORY = 0x06054b50;
constexpr std::size_t ZIP_LOCAL_BYTES = 30;
constexpr std::size_t ZIP_CENTRAL_BYTES = 46;
constexpr std::size_t ZIP_END_BYTES = 22;
// Version 2.0: deflate. Names are UTF-8 (flag bit 11).
constexpr std::uint16_t ZIP_VERSION = 20;
constexpr std::uint16_t ZIP_UTF8_NAMES = 0x0800;
constexpr std::uint16_t ZIP_STORED = 0;
constexpr std::uint16_t ZIP_DEFLATED = 8;

std::uint32_t crc32Of(std::string_view bytes)
{
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return crc.checksum();
}

std::string deflate(std::string_view input)
{
    zlib::deflate_stream stream;
    stream.reset(COMPRESSION_LEVEL, WINDOW_BITS, MEMORY_LEVEL, zlib::Strategy::normal);
    std::string output(stream.upper_bound(input.size()) + 64, '\0');
    zlib::z_params params;
    params.next_in = input.data();
    params.avail_in = input.size();
    for (;;) {
        params.next_out = &output[params.total_out];
        params.avail_out = output.size() - params.total_out;
        boost::system::error_code error;
        stream.write(params, zlib::Flush::finish, error);
        if (error == zlib::error::end_of_stream) {
            break;
        }
        // No error: the output was full, and more follows.
        output.resize(output.size() * 2);
    }
    output.resize(params.total_out);
    return output;
}

// The raw deflate stream at the start of `input`: its bytes unpacked, and in `consumed` how
// many of `input` it took. Nothing for a stream that is damaged, cut short or unpacks to more
// than `limit` bytes.
std::optional<std::string> inflate(std::string_view input, std::size_t limit, std::size_t& consumed,
                                   std::string& error)
{
    constexpr std::size_t CHUNK = 64 * 1024;
    zlib::inflate_stream stream;
    stream.reset(WINDOW_BITS);
    std::string output;
    zlib::z_params params;
    params.next_in = input.data();
    params.avail_in = input.size();
    for (;;) {
        output.resize(params.total_out + CHUNK);
        params.next_out = &output[params.total_out];
        params.avail_out = CHUNK;
        boost::system::error_code status;
        stream.write(params, zlib::Flush::none, status);
        if (params.total_out > limit) {
            error = "it unpacks to more than " + std::to_string(limit) + " bytes";
            return std::nullopt;
        }
        if (status == zlib::error::end_of_stream) {
            break;
        }
        if (status == zlib::error::need_buffers && params.avail_in == 0) {
            error = "its compressed data is cut short";
            return std::nullopt;
        }
        if (status && status != zlib::error::need_buffers) {
            error = "its compressed data is damaged (" + status.message() + ")";
            return std::nullopt;
        }
    }
    output.resize(params.total_out);
    consumed = params.total_in;
    return output;
}

void putLittle(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::uint64_t little(std::string_view bytes, std::size_t at, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// An octal field of `width` bytes, its digits ended by a NUL, as ustar writes numbers.
// Every value a report holds fits its field (a size below 8 GiB, a time before 2242).
void putOctal(char* field, std::size_t width, std::uint64_t value)
{
    field[width - 1] = '\0';
    for (std::size_t i = width - 1; i > 0; --i) {
        field[i - 1] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    }
}

std::optional<std::uint64_t> octal(const char* field, std::size_t width)
{
    std::uint64_t value = 0;
    std::size_t i = 0;
    while (i < width && field[i] == ' ') {
        ++i;
    }
    bool digits = false;
    for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
        value = value * 8 + static_cast<std::uint64_t>(field[i] - '0');
        digits = true;
    }
    // The digits end with a NUL or a blank, or fill the field.
    if (!digits || (i < width && field[i] != '\0' && field[i] != ' ')) {
        return std::nullopt;
    }
    return value;
}

unsigned tarChecksum(const char* header)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < TAR_BLOCK; ++i) {
        // The checksum's own field counts as blanks.
        sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(header[i]);
    }
    return sum;
}

std::string tarOf(const std::vector<Entry>& entries, const Stamp& stamp)
{
    std::string out;
    for (const Entry& entry : entries) {
        char header[TAR_BLOCK] = {};
        // A longer name puts its folders into the prefix field, as ustar allows.
        std::size_t split = 0;
        for (std::size_t slash = entry.name.find('/');
             entry.name.size() >= TAR_NAME_BYTES && slash != std::string::npos;
             slash = entry.name.find('/', slash + 1)) {
            if (slash <= TAR_PREFIX_BYTES && entry.name.size() - slash - 1 < TAR_NAME_BYTES) {
                split = slash + 1;
                break;
            }
        }
        const std::string name = entry.name.substr(split);
        std::memcpy(header, name.data(), std::min(name.size(), TAR_NAME_BYTES - 1));
        if (split > 0) {
            std::memcpy(header + 345, entry.name.data(), split - 1);
        }
        putOctal(header + 100, 8, 0600);  // the user's own, as the logs are
        putOctal(header + 108, 8, 0);
        putOctal(header + 116, 8, 0);
        putOctal(header + 124, 12, entry.contents.size());
        putOctal(header + 136, 12, static_cast<std::uint64_t>(std::max<std::int64_t>(stamp.unixSeconds, 0)));
        header[156] = '0';
        std::memcpy(header + 257, "ustar", 6);
        std::memcpy(header + 263, "00", 2);
        // Six digits, a NUL and a space.
        putOctal(header + 148, 7, tarChecksum(header));
        header[155] = ' ';
        out.append(header, TAR_BLOCK);
        out += entry.contents;
        out.append((TAR_BLOCK - entry.contents.size() % TAR_BLOCK) % TAR_BLOCK, '\0');
    }
    // The end: two blocks of zeros.
    out.append(2 * TAR_BLOCK, '\0');
    return out;
}

std::string gzipOf(std::string_view data, const Stamp& stamp)
{
    std::string out = {'\x1f', '\x8b', 8, 0};
    putLittle(out, static_cast<std::uint64_t>(std::max<std::int64_t>(stamp.unixSeconds, 0)) & 0xFFFFFFFF, 4);
    out += '\0';    // no extra flags
    out += '\xff';  // the system that wrote it: unknown
    out += deflate(data);
    putLittle(out, crc32Of(data), 4);
    putLittle(out, data.size() & 0xFFFFFFFF, 4);
    return out;
}

std::string zipOf(const std::vector<Entry>& entries, const Stamp& stamp)
{
    const std::uint16_t time =
        static_cast<std::uint16_t>((stamp.hour << 11) | (stamp.minute << 5) | (stamp.second / 2));
    const std::uint16_t date =
        static_cast<std::uint16_t>((std::max(stamp.year, 1980) - 1980) << 9 | (stamp.month << 5) | stamp.day);
    std::string out;
    std::string directory;
    for (const Entry& entry : entries) {
        const std::string packed = deflate(entry.contents);
        const std::uint32_t crc = crc32Of(entry.contents);
        const std::uint64_t offset = out.size();
        // The fields both headers share, from the version needed on.
        std::string common;
        putLittle(common, ZIP_VERSION, 2);
        putLittle(common, ZIP_UTF8_NAMES, 2);
        putLittle(common, ZIP_DEFLATED, 2);
        putLittle(common, time, 2);
        putLittle(common, date, 2);
        putLittle(common, crc, 4);
        putLittle(common, packed.size(), 4);
        putLittle(common, entry.contents.size(), 4);
        putLittle(common, entry.name.size(), 2);
        putLittle(common, 0, 2);  // no extra field

        putLittle(out, ZIP_LOCAL_HEADER, 4);
        out += common;
        out += entry.name;
        out += packed;

        putLittle(directory, ZIP_CENTRAL_HEADER, 4);
        putLittle(directory, ZIP_VERSION, 2);  // made by: MS-DOS attributes, version 2.0
        directory += common;
        putLittle(directory, 0, 2);  // no comment
        putLittle(directory, 0, 2);  // disk 0
        putLittle(directory, 0, 2);  // internal attributes
        putLittle(directory, 0, 4);  // external attributes
        putLittle(directory, offset, 4);
        directory += entry.name;
    }
    const std::uint64_t directoryAt = out.size();
    out += directory;
    putLittle(out, ZIP_END_OF_DIRECTORY, 4);
    putLittle(out, 0, 2);
    putLittle(out, 0, 2);
    putLittle(out, entries.size(), 2);
    putLittle(out, entries.size(), 2);
    putLittle(out, directory.size(), 4);
    putLittle(out, directoryAt, 4);
    putLittle(out, 0, 2);
    return out;
}

std::optional<std::vector<Entry>> readTar(std::string_view bytes, std::string& error)
{
    std::vector<Entry> entries;
    for (std::size_t at = 0;;) {
        if (at + TAR_BLOCK > bytes.size()) {
            // Some writers leave out the closing blocks of zeros: an archive may end after a
            // whole entry, never inside one.
            if (at == bytes.size()) {
                return entries;
            }
            error = "the tar archive is cut short";
            return std::nullopt;
        }
        const char* header = bytes.data() + at;
        if (std::all_of(header, header + TAR_BLOCK, [](char c) { return c == '\0'; })) {
            return entries;
        }
        const std::optional<std::uint64_t> size = octal(header + 124, 12);
        const std::optional<std::uint64_t> checksum = octal(header + 148, 8);
        if (!size || !checksum || *checksum != tarChecksum(header)) {
            error = "the tar archive is damaged at byte " + std::to_string(at);
            return std::nullopt;
        }
        at += TAR_BLOCK;
        if (*size > bytes.size() - at) {
            error = "the tar archive is cut short";
            return std::nullopt;
        }
        // Regular files only; folders, links and the headers of extended formats are passed over.
        const char type = header[156];
        if (type == '0' || type == '\0') {
            std::string name(header, strnlen(header, TAR_NAME_BYTES));
            const std::size_t prefixLength = strnlen(header + 345, TAR_PREFIX_BYTES);
            if (std::memcmp(header + 257, "ustar", 5) == 0 && prefixLength > 0) {
                name = std::string(header + 345, prefixLength) + "/" + name;
            }
            entries.push_back({name, std::string(bytes.substr(at, *size))});
        }
        at += (*size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
    }
}

std::optional<std::vector<Entry>> readTarGz(std::string_view bytes, std::string& error, std::size_t limit)
{
    constexpr unsigned char HEADER_CRC = 2, EXTRA = 4, NAME = 8, COMMENT = 16;
    if (bytes.size() < 18 || bytes[2] != 8) {
        error = "the gzip file is cut short or not deflated";
        return std::nullopt;
    }
    const auto flags = static_cast<unsigned char>(bytes[3]);
    std::size_t at = 10;
    if ((flags & EXTRA) != 0) {
        at = at + 2 > bytes.size() ? bytes.size() : at + 2 + little(bytes, at, 2);
    }
    for (const unsigned char text : {NAME, COMMENT}) {
        if ((flags & text) != 0) {
            const std::size_t end = bytes.find('\0', std::min(at, bytes.size()));
            at = end == std::string_view::npos ? bytes.size() : end + 1;
        }
    }
    if ((flags & HEADER_CRC) != 0) {
        at += 2;
    }
    if (at >= bytes.size()) {
        error = "the gzip file is cut short";
        return std::nullopt;
    }
    std::size_t consumed = 0;
    const std::optional<std::string> tar = inflate(bytes.substr(at), limit, consumed, error);
    if (!tar) {
        error = "the gzip file cannot be unpacked: " + error;
        return std::nullopt;
    }
    at += consumed;
    if (bytes.size() - at < 8 || little(bytes, at, 4) != crc32Of(*tar) ||
        little(bytes, at + 4, 4) != (tar->size() & 0xFFFFFFFF)) {
        error = "the gzip file is damaged: its checksum does not match";
        return std::nullopt;
    }
    return readTar(*tar, error);
}

std::optional<std::vector<Entry>> readZip(std::string_view bytes, std::string& error, std::size_t limit)
{
    // The end record is the last thing in the file, before a comment of up to 65535 bytes.
    std::size_t end = std::string_view::npos;
    if (bytes.size() >= ZIP_END_BYTES) {
        const std::size_t lowest =
            bytes.size() > ZIP_END_BYTES + 0xFFFF ? bytes.size() - ZIP_END_BYTES - 0xFFFF : 0;
        for (std::size_t at = bytes.size() - ZIP_END_BYTES + 1; at-- > lowest;) {
            if (little(bytes, at, 4) == ZIP_END_OF_DIRECTORY) {
                end = at;
                break;
            }
        }
    }
    if (end == std::string_view::npos) {
        error = "the zip file has no central directory: it is cut short";
        return std::nullopt;
    }
    const std::uint64_t count = little(bytes, end + 10, 2);
    const std::uint64_t directorySize = little(bytes, end + 12, 4);
    std::uint64_t at = little(bytes, end + 16, 4);
    if (at + directorySize > end) {
        error = "the zip file's directory lies outside it";
        return std::nullopt;
    }
    std::vector<Entry> entries;
    std::size_t total = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (at + ZIP_CENTRAL_BYTES > end || little(bytes, at, 4) != ZIP_CENTRAL_HEADER) {
            error = "the zip file's directory is damaged";
            return std::nullopt;
        }
        const std::uint64_t flags = little(bytes, at + 8, 2);
        const std::uint64_t method = little(bytes, at + 10, 2);
        const std::uint64_t crc = little(bytes, at + 16, 4);
        const std::uint64_t packedSize = little(bytes, at + 20, 4);
        const std::uint64_t size = little(bytes, at + 24, 4);
        const std::uint64_t nameLength = little(bytes, at + 28, 2);
        const std::uint64_t skip = nameLength + little(bytes, at + 30, 2) + little(bytes, at + 32, 2);
        const std::uint64_t local = little(bytes, at + 42, 4);
        if (at + ZIP_CENTRAL_BYTES + nameLength > end) {
            error = "the zip file's directory is damaged";
            return std::nullopt;
        }
        std::string name(bytes.substr(at + ZIP_CENTRAL_BYTES, nameLength));
        at += ZIP_CENTRAL_BYTES + skip;
        if ((flags & 1) != 0 || (method != ZIP_STORED && method != ZIP_DEFLATED) ||
            packedSize == 0xFFFFFFFF || size == 0xFFFFFFFF) {
            error = "the zip file holds " + name + " in a form this program does not read";
            return std::nullopt;
        }
        if (!name.empty() && name.back() == '/') {
            continue;
        }
        if (local + ZIP_LOCAL_BYTES > bytes.size() || little(bytes, local, 4) != ZIP_LOCAL_HEADER) {
            error = "the zip file is damaged at " + name;
            return std::nullopt;
        }
        const std::uint64_t data =
            local + ZIP_LOCAL_BYTES + little(bytes, local + 26, 2) + little(bytes, local + 28, 2);
        if (data + packedSize > bytes.size()) {
            error = "the zip file is cut short in " + name;
            return std::nullopt;
        }
        const std::string_view packed = bytes.substr(data, packedSize);
        std::string contents;
        if (method == ZIP_STORED) {
            contents = std::string(packed);
        } else {
            std::size_t consumed = 0;
            std::optional<std::string> unpacked = inflate(packed, limit - total, consumed, error);
            if (!unpacked) {
                error = "the zip file's " + name + " cannot be unpacked: " + error;
                return std::nullopt;
            }
            contents = std::move(*unpacked);
        }
        if (contents.size() != size || crc32Of(contents) != crc) {
            error = "the zip file's " + name + " is damaged: its checksum does not match";
            return std::nullopt;
        }
        total += contents.size();
        if (total > limit) {
            error = "it unpacks to more than " + std::to_string(limit) + " bytes";
            return std::nullopt;
        }
        entries.push_back({std::move(name), std::move(contents)});
    }
    return entries;
}

}  // namespace

const char* extensionOf(Format format)
{
    return format == Format::ZIP ? ".zip" : ".tar.gz";
}

std::string write(Format format, const std::vector<Entry>& entries, const Stamp& stamp)
{
    return format == Format::ZIP ? zipOf(entries, stamp) : gzipOf(tarOf(entries, stamp), stamp);
}

bool looksLikeArchive(std::string_view bytes)
{
    return bytes.substr(0, 2) == "\x1f\x8b" || bytes.substr(0, 4) == "PK\x03\x04" ||
           bytes.substr(0, 4) == "PK\x05\x06";
}

std::optional<std::vector<Entry>> read(std::string_view bytes, std::string& error, std::size_t limit)
{
    if (bytes.substr(0, 2) == "\x1f\x8b") {
        return readTarGz(bytes, error, limit);
    }
    if (bytes.substr(0, 2) == "PK") {
        return readZip(bytes, error, limit);
    }
    error = "it is neither a .tar.gz nor a .zip file";
    return std::nullopt;
}

}  // namespace archive
