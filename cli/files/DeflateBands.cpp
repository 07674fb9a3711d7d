// Deflate blocks walked to find a stream's end, and bands joined.
#include "DeflateBands.h"

#include "CodecBuffer.h"

#include <libdeflate.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace veilshadow {
namespace {

// The stream's bits, least significant first; reads past the end give
// zeros, and Overrun() tells.
class BitReader {
public:
    BitReader(const unsigned char *data, std::size_t size) : data_(data), size_(size) {}

    // The next `count` bits (at most 32) without taking them.
    std::uint32_t Peek(unsigned count) const {
        return static_cast<std::uint32_t>(PeekWord() & ((std::uint64_t{1} << count) - 1));
    }
    // The next 57 bits or more without taking them: all but the first
    // at() % 8 bits of the 8 bytes from the current one.
    std::uint64_t PeekWord() const {
        const std::uint64_t byte = at_ >> 3;
        std::uint64_t word = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (byte + 8 <= size_) {
            std::memcpy(&word, data_ + byte, 8);
        } else
#endif
            for (unsigned i = 0; i < 8 && byte + i < size_; ++i) word |= std::uint64_t(data_[byte + i]) << (8 * i);
        return word >> (at_ & 7);
    }
    std::uint32_t Take(unsigned count) {
        const std::uint32_t bits = Peek(count);
        at_ += count;
        return bits;
    }
    void Skip(std::uint64_t count) { at_ += count; }
    void ToByte() { at_ = (at_ + 7) & ~std::uint64_t{7}; }
    bool Overrun() const { return at_ > std::uint64_t(size_) * 8; }
    std::uint64_t at() const { return at_; }

private:
    const unsigned char *data_;
    std::size_t size_;
    std::uint64_t at_ = 0;
};

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kTableBits = 10;

// A canonical Huffman code: codes of up to 10 bits looked up by the next
// 10 bits of the stream, longer ones decoded a bit at a time.
class HuffmanCode {
public:
    // False when the lengths over-subscribe the code. An incomplete code
    // is allowed; a missing code then fails to decode.
    bool Build(const unsigned char *lengths, unsigned count) {
        table_.fill(0);
        of_length_.fill(0);
        for (unsigned s = 0; s < count; ++s) ++of_length_[lengths[s]];
        of_length_[0] = 0;
        std::array<unsigned, kMaxCodeBits + 2> next{}, offset{};
        unsigned code = 0;
        for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
            code = (code + of_length_[bits - 1]) << 1;
            next[bits] = code;
            offset[bits + 1] = offset[bits] + of_length_[bits];
            if (code + of_length_[bits] > (1u << bits)) return false;
        }
        for (unsigned s = 0; s < count; ++s) {
            const unsigned bits = lengths[s];
            if (bits == 0) continue;
            symbols_[offset[bits]++] = static_cast<std::uint16_t>(s);
            const unsigned c = next[bits]++;
            if (bits > kTableBits) continue;
            unsigned reversed = 0;
            for (unsigned v = c, i = 0; i < bits; ++i, v >>= 1) reversed = (reversed << 1) | (v & 1);
            for (unsigned at = reversed; at < table_.size(); at += 1u << bits)
                table_[at] = static_cast<std::uint16_t>(s << 4 | bits);
        }
        return true;
    }
    // The symbol whose code `next` (the stream's next bits, least
    // significant first, 15 of them or more) begins with, and the code's
    // length; -1 for bits no code has.
    int Lookup(std::uint64_t next, unsigned &length) const {
        const std::uint16_t entry = table_[next & ((1u << kTableBits) - 1)];
        if (entry != 0) {
            length = entry & 15;
            return entry >> 4;
        }
        // Codes of a length in order, each a count of codes after the
        // first of its length, the symbols in the same order.
        unsigned code = 0, first = 0, index = 0;
        for (length = 1; length <= kMaxCodeBits; ++length) {
            code |= (next >> (length - 1)) & 1;
            const unsigned count = of_length_[length];
            if (code - first < count) return symbols_[index + code - first];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }
    // The next symbol, taken, or -1 for bits no code has.
    int Decode(BitReader &bits) const {
        unsigned length = 0;
        const int symbol = Lookup(bits.Peek(kMaxCodeBits), length);
        if (symbol >= 0) bits.Skip(length);
        return symbol;
    }

private:
    std::array<std::uint16_t, 1u << kTableBits> table_{};
    std::array<unsigned, kMaxCodeBits + 1> of_length_{};
    std::array<std::uint16_t, 288> symbols_{};
};

// The extra bits of length symbols 257 to 285 and of distance symbols.
constexpr unsigned char kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
unsigned DistanceExtra(int symbol) { return symbol < 4 ? 0 : unsigned(symbol) / 2 - 1; }

// Reads a dynamic block's code lengths and builds its two codes.
bool ReadDynamicCodes(BitReader &bits, HuffmanCode &literals, HuffmanCode &distances) {
    static constexpr unsigned char kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    const unsigned literal_count = bits.Take(5) + 257, distance_count = bits.Take(5) + 1,
                   length_codes = bits.Take(4) + 4;
    if (literal_count > 286 || distance_count > 30) return false;
    unsigned char code_lengths[19] = {};
    for (unsigned i = 0; i < length_codes; ++i) code_lengths[kOrder[i]] = static_cast<unsigned char>(bits.Take(3));
    HuffmanCode lengths_code;
    if (!lengths_code.Build(code_lengths, 19)) return false;
    unsigned char lengths[286 + 30] = {};
    const unsigned total = literal_count + distance_count;
    for (unsigned i = 0; i < total;) {
        const int symbol = lengths_code.Decode(bits);
        if (symbol < 0 || bits.Overrun()) return false;
        if (symbol < 16) {
            lengths[i++] = static_cast<unsigned char>(symbol);
            continue;
        }
        unsigned repeat = 0;
        unsigned char value = 0;
        if (symbol == 16) {
            if (i == 0) return false;
            value = lengths[i - 1];
            repeat = 3 + bits.Take(2);
        } else {
            repeat = symbol == 17 ? 3 + bits.Take(3) : 11 + bits.Take(7);
        }
        if (repeat > total - i) return false;
        for (; repeat > 0; --repeat) lengths[i++] = value;
    }
    if (lengths[256] == 0) return false;  // a block needs its end code
    return literals.Build(lengths, literal_count) && distances.Build(lengths + literal_count, distance_count);
}

void FixedCodes(HuffmanCode &literals, HuffmanCode &distances) {
    unsigned char lengths[288 + 30];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    std::memset(lengths + 288, 5, 30);
    literals.Build(lengths, 288);
    distances.Build(lengths + 288, 30);
}

// Decodes a Huffman block's symbols up to its end code, taking their
// extra bits. The stream's next bits are held in a word, read again only
// when it holds fewer than the 48 a symbol takes at most (a length code,
// its extra bits, a distance code and its extra bits).
bool SkipSymbols(BitReader &bits, const HuffmanCode &literals, const HuffmanCode &distances) {
    std::uint64_t word = 0;
    unsigned left = 0, taken = 0;  // bits of the word not yet taken, and taken
    const auto take = [&](unsigned count) {
        word >>= count;
        left -= count;
        taken += count;
    };
    for (;;) {
        if (left < 48) {
            bits.Skip(taken);
            if (bits.Overrun()) return false;
            word = bits.PeekWord();
            left = 64 - unsigned(bits.at() & 7);
            taken = 0;
        }
        unsigned length = 0;
        const int symbol = literals.Lookup(word, length);
        if (symbol < 0 || symbol > 285) return false;
        take(length);
        if (symbol < 256) continue;
        if (symbol == 256) {
            bits.Skip(taken);
            return !bits.Overrun();
        }
        take(kLengthExtra[symbol - 257]);
        const int distance = distances.Lookup(word, length);
        if (distance < 0 || distance > 29) return false;
        take(length + DistanceExtra(distance));
    }
}

// The two bytes libdeflate puts before a zlib stream at `level`.
void ZlibHeader(int level, unsigned char *out) {
    const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
    unsigned header = 0x7800 | hint << 6;
    header |= 31 - header % 31;
    out[0] = static_cast<unsigned char>(header >> 8);
    out[1] = static_cast<unsigned char>(header);
}

}  // namespace

bool FindDeflateEnds(const unsigned char *data, std::size_t size, DeflateEnds &ends) {
    BitReader bits(data, size);
    HuffmanCode literals, distances;
    for (;;) {
        const std::uint64_t header = bits.at();
        const bool last = bits.Take(1) != 0;
        switch (bits.Take(2)) {
            case 0: {
                bits.ToByte();
                const std::uint32_t length = bits.Take(16), complement = bits.Take(16);
                if ((length ^ 0xffffu) != complement) return false;
                bits.Skip(std::uint64_t(length) * 8);
                break;
            }
            case 1:
                FixedCodes(literals, distances);
                if (!SkipSymbols(bits, literals, distances)) return false;
                break;
            case 2:
                if (!ReadDynamicCodes(bits, literals, distances) || !SkipSymbols(bits, literals, distances))
                    return false;
                break;
            default:
                return false;
        }
        if (bits.Overrun()) return false;
        if (last) {
            ends.last_block = header;
            ends.end = bits.at();
            return true;
        }
    }
}

void DeflateBand(libdeflate_compressor &compressor, const unsigned char *data, std::size_t size, DeflatedBand &band) {
    // Deflated here first, so that the band keeps only the bytes it needs;
    // the room is not cleared, so that only the pages written are touched.
    thread_local CodecBuffer room;
    const std::size_t bound = libdeflate_deflate_compress_bound(&compressor, size);
    room.Reserve(bound);
    const std::size_t written = libdeflate_deflate_compress(&compressor, data, size, room.data(), bound);
    if (written == 0) throw std::logic_error("libdeflate's bound was too small");
    if (!FindDeflateEnds(room.data(), written, band.ends))
        throw std::logic_error("libdeflate wrote a stream that is not whole");
    band.bytes.assign(room.data(), room.data() + written);
    band.adler = libdeflate_adler32(1, data, size);
    band.length = size;
}

void JoinZlibBand(DeflatedBand &band, std::size_t index, std::size_t count, int level, std::uint32_t &adler) {
    std::vector<unsigned char> &bytes = band.bytes;
    adler = CombineAdler32(index == 0 ? 1 : adler, band.adler, band.length);
    if (index + 1 < count) {
        const DeflateEnds &ends = band.ends;
        if (ends.end == 0 || ends.end > std::uint64_t(bytes.size()) * 8)
            throw std::logic_error("a band whose stream's ends are not known");
        bytes[ends.last_block >> 3] &= static_cast<unsigned char>(~(1u << (ends.last_block & 7)));
        // After the end code: an empty stored block (three zero bits of
        // header, zeros to the byte's end, length 0 and its complement).
        const std::uint64_t stored = ends.end + 3;
        bytes.resize(static_cast<std::size_t>((stored + 7) >> 3), 0);
        if ((ends.end & 7) != 0) bytes[ends.end >> 3] &= static_cast<unsigned char>((1u << (ends.end & 7)) - 1);
        for (std::size_t b = static_cast<std::size_t>((ends.end + 7) >> 3); b < bytes.size(); ++b) bytes[b] = 0;
        bytes.insert(bytes.end(), {0x00, 0x00, 0xff, 0xff});
    } else {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(adler >> shift));
    }
    if (index == 0) {
        unsigned char header[2];
        ZlibHeader(level, header);
        bytes.insert(bytes.begin(), header, header + 2);
    }
}

void JoinZlibBands(std::vector<DeflatedBand> &bands, int level) {
    if (bands.empty()) throw std::logic_error("a zlib stream of no bands");
    std::uint32_t adler = 1;
    for (std::size_t i = 0; i < bands.size(); ++i) JoinZlibBand(bands[i], i, bands.size(), level, adler);
}

std::uint32_t CombineAdler32(std::uint32_t first, std::uint32_t second, std::uint64_t second_length) {
    // The sums of the joined bytes: s1 = s1a + s1b - 1, and
    // s2 = s2a + s2b + n * (s1a - 1), all modulo 65521.
    constexpr std::uint64_t kBase = 65521;
    const std::uint64_t n = second_length % kBase;
    const std::uint64_t s1a = first & 0xffff, s2a = first >> 16, s1b = second & 0xffff, s2b = second >> 16;
    const std::uint64_t s1 = (s1a + s1b + kBase - 1) % kBase;
    const std::uint64_t s2 = (s2a + s2b + n * ((s1a + kBase - 1) % kBase)) % kBase;
    return static_cast<std::uint32_t>(s2 << 16 | s1);
}

}  // namespace veilshadow
