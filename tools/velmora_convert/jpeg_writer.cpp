#include "jpeg_writer.h"

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace velmora::convert {
namespace {

// libjpeg fits Huffman tables by keeping every coefficient of the picture (two bytes
// a sample) and coding twice. Past this size the tables are fitted to every
// kSampleEvery-th band of eight rows instead, then the whole picture is coded once.
constexpr int64_t kSampledTablesFromPixels = 4'000'000;
constexpr int kSampleEvery = 8;

// A Huffman table as a DHT segment gives it: counts of codes per length, then the symbols.
struct HuffTable {
    uint8_t bits[17] = {};
    uint8_t values[256] = {};
};
struct ComponentTables {
    HuffTable dc, ac;
};

struct ErrorTrap {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
};

void onError(j_common_ptr cinfo) {
    auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, trap->message);
    std::longjmp(trap->jump, 1);
}

void onMessage(j_common_ptr, int) {}  // warnings would break the one-line error report

// One colour component (0 Y, 1 Cb, 2 Cr) encoded on its own as a grey JPEG.
struct Part {
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    std::string error;
    ~Part() { std::free(bytes); }
};

// The colour transform of libjpeg itself (16-bit fixed point), so the result
// matches what an ordinary RGB encode of the picture gives. Constant weights let
// the compiler vectorise the loop.
template <int32_t R, int32_t G, int32_t B, int32_t Offset>
void transformRow(const uint8_t* rgb, int width, JSAMPLE* out) {
    for (int x = 0; x < width; ++x)
        out[x] = JSAMPLE((R * rgb[3 * x] + G * rgb[3 * x + 1] + B * rgb[3 * x + 2] + Offset) >> 16);
}

void componentRow(const uint8_t* rgb, int width, int component, JSAMPLE* out) {
    constexpr int32_t chroma = (128 << 16) + 32767;
    if (component == 1)
        transformRow<-11059, -21709, 32768, chroma>(rgb, width, out);
    else
        transformRow<32768, -27439, -5329, chroma>(rgb, width, out);
}

// Encodes one component as a grey JPEG: with fitted tables (tables null), or with
// the given ones. rowOf maps the encoded rows to the picture's.
void encodeComponent(const RgbPicture& picture, int component, int quality, int height,
                     const std::function<int(int)>& rowOf, const ComponentTables* tables,
                     Part* part) {
    jpeg_compress_struct cinfo;
    ErrorTrap trap;
    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = onError;
    trap.manager.emit_message = onMessage;
    std::vector<JSAMPLE> row(size_t(picture.width));
    if (setjmp(trap.jump)) {
        jpeg_destroy_compress(&cinfo);
        part->error = trap.message;
        return;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &part->bytes, &part->size);
    cinfo.image_width = JDIMENSION(picture.width);
    cinfo.image_height = JDIMENSION(height);
    // Y comes from libjpeg's own (vectorised) grey conversion; Cb and Cr from ours.
    cinfo.input_components = component == 0 ? 3 : 1;
    cinfo.in_color_space = component == 0 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.comp_info[0].quant_tbl_no = component == 0 ? 0 : 1;
    cinfo.optimize_coding = tables == nullptr;
    if (tables) {
        JHUFF_TBL* dc = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&cinfo));
        JHUFF_TBL* ac = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&cinfo));
        std::memcpy(dc->bits, tables->dc.bits, 17);
        std::memcpy(dc->huffval, tables->dc.values, 256);
        std::memcpy(ac->bits, tables->ac.bits, 17);
        std::memcpy(ac->huffval, tables->ac.values, 256);
        cinfo.dc_huff_tbl_ptrs[0] = dc;
        cinfo.ac_huff_tbl_ptrs[0] = ac;
    }
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint8_t* rgb = picture.row(rowOf(int(cinfo.next_scanline)));
        JSAMPROW p = const_cast<JSAMPROW>(rgb);
        if (component != 0) {
            componentRow(rgb, picture.width, component, row.data());
            p = row.data();
        }
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
}

// An optimal length-limited code for the given symbol counts (the procedure of
// ITU T.81 Annex K.2, as libjpeg runs it): the table that fits the counts best.
HuffTable optimalTable(std::array<int64_t, 257> freq) {
    int codeSize[257] = {}, others[257];
    std::fill(std::begin(others), std::end(others), -1);
    freq[256] = 1;  // one code point kept back, so no code is all ones
    for (;;) {
        int c1 = -1, c2 = -1;
        for (int i = 0; i <= 256; ++i)
            if (freq[size_t(i)] && (c1 < 0 || freq[size_t(i)] <= freq[size_t(c1)])) c1 = i;
        for (int i = 0; i <= 256; ++i)
            if (freq[size_t(i)] && i != c1 && (c2 < 0 || freq[size_t(i)] <= freq[size_t(c2)]))
                c2 = i;
        if (c2 < 0) break;
        freq[size_t(c1)] += freq[size_t(c2)];
        freq[size_t(c2)] = 0;
        for (++codeSize[c1]; others[c1] >= 0; ++codeSize[c1]) c1 = others[c1];
        others[c1] = c2;
        for (++codeSize[c2]; others[c2] >= 0; ++codeSize[c2]) c2 = others[c2];
    }
    int bits[65] = {};
    for (int i = 0; i <= 256; ++i)
        if (codeSize[i]) ++bits[std::min(codeSize[i], 64)];
    for (int i = 64; i > 16; --i)
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0) --j;
            bits[i] -= 2;
            ++bits[i - 1];
            bits[j + 1] += 2;
            --bits[j];
        }
    int last = 16;
    while (bits[last] == 0) --last;
    --bits[last];  // the kept-back code point
    HuffTable table;
    for (int i = 1; i <= 16; ++i) table.bits[i] = uint8_t(bits[i]);
    int at = 0;
    for (int len = 1; len <= 64; ++len)
        for (int sym = 0; sym < 256; ++sym)
            if (codeSize[sym] == len) table.values[at++] = uint8_t(sym);
    return table;
}

// Tables for the whole picture from those fitted to a sample: each symbol seen keeps
// about the weight its code length implies; every other symbol the coder may meet
// gets the least weight, so it still has a (long) code.
bool widenTables(const std::vector<uint8_t>& dht, ComponentTables* out) {
    bool haveDc = false, haveAc = false;
    for (size_t at = 0; at + 17 <= dht.size();) {
        const bool ac = (dht[at] >> 4) != 0;
        std::array<int64_t, 257> freq{};
        if (ac) {
            freq[0x00] = freq[0xf0] = 1;
            for (int run = 0; run < 16; ++run)
                for (int size = 1; size <= 10; ++size) freq[size_t(run << 4 | size)] = 1;
        } else {
            for (int size = 0; size <= 11; ++size) freq[size_t(size)] = 1;
        }
        size_t k = at + 17;
        for (int len = 1; len <= 16; ++len)
            for (int n = 0; n < dht[at + size_t(len)]; ++n, ++k) {
                if (k >= dht.size()) return false;
                freq[dht[k]] = int64_t(1) << (18 - len);
            }
        (ac ? out->ac : out->dc) = optimalTable(freq);
        (ac ? haveAc : haveDc) = true;
        at = k;
    }
    return haveDc && haveAc;
}

// The pieces of a grey JPEG that the colour file reuses.
struct Segments {
    std::vector<uint8_t> jfif, quant, huffman;
    const uint8_t* scan = nullptr;  // entropy-coded data, up to the end marker
    size_t scanSize = 0;
};

bool split(const Part& part, Segments* out) {
    const uint8_t *p = part.bytes, *end = part.bytes + part.size;
    if (part.size < 4 || p[0] != 0xff || p[1] != 0xd8) return false;
    p += 2;
    while (end - p >= 4 && p[0] == 0xff) {
        const int marker = p[1];
        const size_t length = size_t(p[2]) << 8 | p[3];
        if (length < 2 || size_t(end - p) < 2 + length) return false;
        const uint8_t *body = p + 4, *next = p + 2 + length;
        if (marker == 0xe0)
            out->jfif.assign(p, next);
        else if (marker == 0xdb)
            out->quant.insert(out->quant.end(), body, next);
        else if (marker == 0xc4)
            out->huffman.insert(out->huffman.end(), body, next);
        else if (marker == 0xda) {
            if (end - next < 2 || end[-2] != 0xff || end[-1] != 0xd9) return false;
            out->scan = next;
            out->scanSize = size_t(end - 2 - next);
            return true;
        }
        p = next;
    }
    return false;
}

void putSegment(std::vector<uint8_t>& file, int marker, const std::vector<uint8_t>& body) {
    const size_t length = body.size() + 2;
    file.insert(file.end(), {0xff, uint8_t(marker), uint8_t(length >> 8), uint8_t(length)});
    file.insert(file.end(), body.begin(), body.end());
}

}  // namespace

// The three components are encoded at once, each as its own grey JPEG with its own
// fitted tables, and joined into one sequential file of three scans: libjpeg fits
// tables on a single thread, and this spreads that work over the cores.
std::string writeJpeg(int fd, const RgbPicture& picture, int quality) {
    const int h = picture.height;
    const auto wholeRows = [](int y) { return y; };
    // A grey picture is its Y component alone (libjpeg's Y of R = G = B = v is v).
    const int components = isGrey(picture) ? 1 : 3;
    ComponentTables fitted[3];
    const bool sampled = int64_t(picture.width) * h >= kSampledTablesFromPixels;
    if (sampled) {
        const int bands = (h + 7) / 8;
        const int sampleBands = (bands + kSampleEvery - 1) / kSampleEvery;
        const auto sampleRows = [h](int y) {
            return std::min(h - 1, (y / 8) * 8 * kSampleEvery + y % 8);
        };
        Part samples[3];
        {
            std::jthread cb, cr;
            if (components == 3) {
                cb = std::jthread(encodeComponent, std::cref(picture), 1, quality, sampleBands * 8,
                                  sampleRows, nullptr, &samples[1]);
                cr = std::jthread(encodeComponent, std::cref(picture), 2, quality, sampleBands * 8,
                                  sampleRows, nullptr, &samples[2]);
            }
            encodeComponent(picture, 0, quality, sampleBands * 8, sampleRows, nullptr, &samples[0]);
        }
        for (int c = 0; c < components; ++c) {
            Segments sample;
            if (!samples[c].error.empty()) return samples[c].error;
            if (!split(samples[c], &sample) || !widenTables(sample.huffman, &fitted[c]))
                return "the JPEG encoder gave unexpected output";
        }
    }
    Part parts[3];
    {
        const ComponentTables* t = sampled ? fitted : nullptr;
        std::jthread cb, cr;
        if (components == 3) {
            cb = std::jthread(encodeComponent, std::cref(picture), 1, quality, h, wholeRows,
                              t ? t + 1 : nullptr, &parts[1]);
            cr = std::jthread(encodeComponent, std::cref(picture), 2, quality, h, wholeRows,
                              t ? t + 2 : nullptr, &parts[2]);
        }
        encodeComponent(picture, 0, quality, h, wholeRows, t, &parts[0]);
    }
    if (components == 1) {
        // The grey encode is already the whole file.
        if (!parts[0].error.empty()) return parts[0].error;
        if (!writeAll(fd, parts[0].bytes, parts[0].size)) return std::strerror(errno);
        return {};
    }
    Segments segments[3];
    for (int c = 0; c < 3; ++c) {
        if (!parts[c].error.empty()) return parts[c].error;
        if (!split(parts[c], &segments[c])) return "the JPEG encoder gave unexpected output";
    }

    std::vector<uint8_t> head = {0xff, 0xd8};
    head.insert(head.end(), segments[0].jfif.begin(), segments[0].jfif.end());
    std::vector<uint8_t> quant = segments[0].quant;
    quant.insert(quant.end(), segments[1].quant.begin(), segments[1].quant.end());
    putSegment(head, 0xdb, quant);
    const int w = picture.width;
    putSegment(head, 0xc0,
               {8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 3, 1, 0x11, 0, 2, 0x11,
                1, 3, 0x11, 1});
    if (!writeAll(fd, head.data(), head.size())) return std::strerror(errno);
    for (int c = 0; c < 3; ++c) {
        // Y keeps Huffman slot 0; Cb and then Cr each load theirs into slot 1 before their scan.
        const uint8_t slot = c == 0 ? 0 : 1;
        std::vector<uint8_t> huffman = segments[c].huffman;
        for (size_t at = 0; at + 17 <= huffman.size();) {
            huffman[at] = uint8_t((huffman[at] & 0xf0) | slot);
            size_t symbols = 0;
            for (int i = 1; i <= 16; ++i) symbols += huffman[at + size_t(i)];
            at += 17 + symbols;
        }
        std::vector<uint8_t> seg;
        putSegment(seg, 0xc4, huffman);
        putSegment(seg, 0xda, {1, uint8_t(c + 1), uint8_t(slot << 4 | slot), 0, 63, 0});
        if (!writeAll(fd, seg.data(), seg.size()) ||
            !writeAll(fd, segments[c].scan, segments[c].scanSize))
            return std::strerror(errno);
    }
    static const uint8_t eoi[2] = {0xff, 0xd9};
    if (!writeAll(fd, eoi, 2)) return std::strerror(errno);
    return {};
}

}  // namespace velmora::convert
