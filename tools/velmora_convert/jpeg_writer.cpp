#include "jpeg_writer.h"

// jpeglib.h needs FILE and size_t declared first.
#include <cstdio>
#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace velmora::convert {
namespace {

// Fitting the Huffman tables keeps every coefficient of the picture in memory
// (six bytes a pixel at 4:4:4); past this size the standard tables are used instead.
constexpr int64_t kFittedTablesMaxPixels = 100'000'000;

struct ErrorTrap {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
};

void onError(j_common_ptr cinfo)
{
    auto *trap = reinterpret_cast<ErrorTrap *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, trap->message);
    std::longjmp(trap->jump, 1);
}

void onMessage(j_common_ptr, int) {} // warnings would break the one-line error report


// One colour component (0 Y, 1 Cb, 2 Cr) encoded on its own as a grey JPEG.
struct Part {
    unsigned char *bytes = nullptr;
    unsigned long size = 0;
    std::string error;
    ~Part() { std::free(bytes); }
};

// The colour transform of libjpeg itself (16-bit fixed point), so the result
// matches what an ordinary RGB encode of the picture gives. Constant weights let
// the compiler vectorise the loop.
template <int32_t R, int32_t G, int32_t B, int32_t Offset>
void transformRow(const uint8_t *rgb, int width, JSAMPLE *out)
{
    for (int x = 0; x < width; ++x)
        out[x] = JSAMPLE((R * rgb[3 * x] + G * rgb[3 * x + 1] + B * rgb[3 * x + 2] + Offset) >> 16);
}

void componentRow(const uint8_t *rgb, int width, int component, JSAMPLE *out)
{
    constexpr int32_t chroma = (128 << 16) + 32767;
    if (component == 1)
        transformRow<-11059, -21709, 32768, chroma>(rgb, width, out);
    else
        transformRow<32768, -27439, -5329, chroma>(rgb, width, out);
}

void encodeComponent(const RgbPicture &picture, int component, int quality, Part *part)
{
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
    cinfo.image_height = JDIMENSION(picture.height);
    // Y comes from libjpeg's own (vectorised) grey conversion; Cb and Cr from ours.
    cinfo.input_components = component == 0 ? 3 : 1;
    cinfo.in_color_space = component == 0 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.comp_info[0].quant_tbl_no = component == 0 ? 0 : 1;
    cinfo.optimize_coding = int64_t(picture.width) * picture.height <= kFittedTablesMaxPixels;
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint8_t *rgb = picture.row(int(cinfo.next_scanline));
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

// The pieces of a grey JPEG that the colour file reuses.
struct Segments {
    std::vector<uint8_t> jfif, quant, huffman;
    const uint8_t *scan = nullptr; // entropy-coded data, up to the end marker
    size_t scanSize = 0;
};

bool split(const Part &part, Segments *out)
{
    const uint8_t *p = part.bytes, *end = part.bytes + part.size;
    if (part.size < 4 || p[0] != 0xff || p[1] != 0xd8)
        return false;
    p += 2;
    while (end - p >= 4 && p[0] == 0xff) {
        const int marker = p[1];
        const size_t length = size_t(p[2]) << 8 | p[3];
        if (length < 2 || size_t(end - p) < 2 + length)
            return false;
        const uint8_t *body = p + 4, *next = p + 2 + length;
        if (marker == 0xe0)
            out->jfif.assign(p, next);
        else if (marker == 0xdb)
            out->quant.insert(out->quant.end(), body, next);
        else if (marker == 0xc4)
            out->huffman.insert(out->huffman.end(), body, next);
        else if (marker == 0xda) {
            if (end - next < 2 || end[-2] != 0xff || end[-1] != 0xd9)
                return false;
            out->scan = next;
            out->scanSize = size_t(end - 2 - next);
            return true;
        }
        p = next;
    }
    return false;
}

void putSegment(std::vector<uint8_t> &file, int marker, const std::vector<uint8_t> &body)
{
    const size_t length = body.size() + 2;
    file.insert(file.end(), {0xff, uint8_t(marker), uint8_t(length >> 8), uint8_t(length)});
    file.insert(file.end(), body.begin(), body.end());
}

bool writeAll(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t k = ::write(fd, p, std::min<size_t>(n, size_t(1) << 30));
        if (k < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += k;
        n -= size_t(k);
    }
    return true;
}

} // namespace

// The three components are encoded at once, each as its own grey JPEG with its own
// fitted tables, and joined into one sequential file of three scans: libjpeg fits
// tables on a single thread, and this spreads that work over the cores.
std::string writeJpeg(int fd, const RgbPicture &picture, int quality)
{
    Part parts[3];
    {
        std::jthread cb(encodeComponent, std::cref(picture), 1, quality, &parts[1]);
        std::jthread cr(encodeComponent, std::cref(picture), 2, quality, &parts[2]);
        encodeComponent(picture, 0, quality, &parts[0]);
    }
    Segments segments[3];
    for (int c = 0; c < 3; ++c) {
        if (!parts[c].error.empty())
            return parts[c].error;
        if (!split(parts[c], &segments[c]))
            return "the JPEG encoder gave unexpected output";
    }

    std::vector<uint8_t> head = {0xff, 0xd8};
    head.insert(head.end(), segments[0].jfif.begin(), segments[0].jfif.end());
    std::vector<uint8_t> quant = segments[0].quant;
    quant.insert(quant.end(), segments[1].quant.begin(), segments[1].quant.end());
    putSegment(head, 0xdb, quant);
    const int w = picture.width, h = picture.height;
    putSegment(head, 0xc0, {8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1});
    if (!writeAll(fd, head.data(), head.size()))
        return std::strerror(errno);
    for (int c = 0; c < 3; ++c) {
        // Y keeps Huffman slot 0; Cb and then Cr each load theirs into slot 1 before their scan.
        const uint8_t slot = c == 0 ? 0 : 1;
        std::vector<uint8_t> huffman = segments[c].huffman;
        for (size_t at = 0; at + 17 <= huffman.size();) {
            huffman[at] = uint8_t((huffman[at] & 0xf0) | slot);
            size_t symbols = 0;
            for (int i = 1; i <= 16; ++i)
                symbols += huffman[at + size_t(i)];
            at += 17 + symbols;
        }
        std::vector<uint8_t> seg;
        putSegment(seg, 0xc4, huffman);
        putSegment(seg, 0xda, {1, uint8_t(c + 1), uint8_t(slot << 4 | slot), 0, 63, 0});
        if (!writeAll(fd, seg.data(), seg.size()) || !writeAll(fd, segments[c].scan, segments[c].scanSize))
            return std::strerror(errno);
    }
    static const uint8_t eoi[2] = {0xff, 0xd9};
    if (!writeAll(fd, eoi, 2))
        return std::strerror(errno);
    return {};
}

} // namespace velmora::convert
