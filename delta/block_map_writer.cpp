// Writes a file's block map from its bytes as they are read: whole blocks are summed where they
// lie in the piece fed, and only a block split between two pieces is copied.
#include "delta/block_map.h"

#include <cstring>

#include "delta/block_sums.h"

static void append_little_endian(uint64_t value, size_t length, std::string& out)
{
    for (size_t i = 0; i < length; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

void start_block_map(uint64_t file_size, BlockMapWriter& writer)
{
    writer.file_size = file_size;
    writer.fed = 0;
    writer.block_size = block_map_block_size(file_size);
    writer.strong_length = block_map_strong_length(file_size);
    writer.block.clear();
    writer.filled = 0;
    writer.map.clear();
    writer.map.reserve(static_cast<size_t>(max_block_map_size(file_size)));
    writer.map.append(block_map_magic, sizeof block_map_magic);
    append_little_endian(file_size, 8, writer.map);
    append_little_endian(writer.block_size, 4, writer.map);
    writer.map += static_cast<char>(block_map_weak_length);
    writer.map += static_cast<char>(writer.strong_length);
    writer.map.append(2, '\0');
}

static void add_block(BlockMapWriter& writer, const unsigned char* block)
{
    // Bytes beyond the file size would describe blocks the listed file does not have; finishing
    // refuses such a map anyway, so they are not summed.
    uint64_t blocks = writer.file_size / writer.block_size + (writer.file_size % writer.block_size != 0 ? 1 : 0);
    if (writer.map.size() >= block_map_header_length + blocks * (block_map_weak_length + writer.strong_length)) {
        return;
    }
    append_little_endian(weak_sum(block, writer.block_size), block_map_weak_length, writer.map);
    unsigned char digest[md5_digest_length];
    strong_sum(block, writer.block_size, digest);
    writer.map.append(reinterpret_cast<const char*>(digest), writer.strong_length);
}

void feed_block_map(BlockMapWriter& writer, const void* data, size_t length)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    writer.fed += length;
    if (writer.filled != 0) {
        size_t take = writer.block_size - writer.filled;
        take = take < length ? take : length;
        std::memcpy(writer.block.data() + writer.filled, bytes, take);
        writer.filled += static_cast<uint32_t>(take);
        bytes += take;
        length -= take;
        if (writer.filled < writer.block_size) {
            return;
        }
        add_block(writer, writer.block.data());
        writer.filled = 0;
    }
    for (; length >= writer.block_size; bytes += writer.block_size, length -= writer.block_size) {
        add_block(writer, bytes);
    }
    if (length != 0) {
        writer.block.resize(writer.block_size);
        std::memcpy(writer.block.data(), bytes, length);
        writer.filled = static_cast<uint32_t>(length);
    }
}

bool finish_block_map(BlockMapWriter& writer, std::string& map_bytes, std::string& error_text)
{
    if (writer.file_size > block_map_max_file_size) {
        error_text = "a file too large for a block map";
        return false;
    }
    if (writer.filled != 0) {
        std::memset(writer.block.data() + writer.filled, 0, writer.block_size - writer.filled);
        add_block(writer, writer.block.data());
        writer.filled = 0;
    }
    if (writer.fed != writer.file_size) {
        error_text = "the file's size changed while it was read";
        return false;
    }
    map_bytes.swap(writer.map);
    writer.map.clear();
    return true;
}
