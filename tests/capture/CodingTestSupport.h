// Encoders for the tests of the response decoding: the bodies a compressing server sends.
#pragma once

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace test {

// zlib's deflate with `nBits` window bits: 15 zlib, 15 + 16 gzip, -15 raw deflate.
inline std::string Deflate(std::string_view data, int nBits) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, nBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int nResult = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (nResult != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return out;
}

inline std::string Gzip(std::string_view data) {
    return Deflate(data, 15 + 16);
}
inline std::string Zlib(std::string_view data) {
    return Deflate(data, 15);
}
inline std::string RawDeflate(std::string_view data) {
    return Deflate(data, -15);
}

inline std::string Brotli(std::string_view data) {
    std::string out(BrotliEncoderMaxCompressedSize(data.size()) + 16, '\0');
    std::size_t nOut = out.size();
    if (!BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                               data.size(), reinterpret_cast<const std::uint8_t*>(data.data()),
                               &nOut, reinterpret_cast<std::uint8_t*>(out.data()))) {
        throw std::runtime_error("brotli");
    }
    out.resize(nOut);
    return out;
}

inline std::string Zstd(std::string_view data) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    const std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
    if (ZSTD_isError(n)) {
        throw std::runtime_error("zstd");
    }
    out.resize(n);
    return out;
}

// Encodes with the coding of that HTTP name.
inline std::string Encode(std::string_view coding, std::string_view data) {
    if (coding == "gzip") {
        return Gzip(data);
    }
    if (coding == "deflate") {
        return Zlib(data);
    }
    if (coding == "br") {
        return Brotli(data);
    }
    if (coding == "zstd") {
        return Zstd(data);
    }
    throw std::invalid_argument("coding");
}

// Bytes that do not compress much and hold every value, zero, CR and LF included.
inline std::string NoisyBytes(std::size_t nSize, unsigned nSeed) {
    std::mt19937 rng(nSeed);
    std::string bytes(nSize, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(rng());
    }
    return bytes;
}

}  // namespace test
