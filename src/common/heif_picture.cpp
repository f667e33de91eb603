#include "heif_picture.h"

#include <libheif/heif.h>

#include <memory>

namespace velmora {

namespace {

// libheif counts its users; one for the life of the program.
void startLibheif() {
    static const bool started = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)started;
}

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

QString failure(const QString& name, const heif_error& error) {
    return QStringLiteral("%1 could not be read (%2).")
        .arg(name, QString::fromUtf8(error.message).simplified());
}

}  // namespace

bool looksLikeHeif(const QByteArray& bytes) {
    if (bytes.size() < 12) return false;
    return heif_check_filetype(reinterpret_cast<const uint8_t*>(bytes.constData()),
                               int(qMin<qsizetype>(bytes.size(), 1 << 20))) ==
           heif_filetype_yes_supported;
}

QSize heifPictureSize(const QByteArray& bytes) {
    startLibheif();
    const std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (heif_context_read_from_memory_without_copy(context.get(), bytes.constData(),
                                                   size_t(bytes.size()), nullptr)
            .code != heif_error_Ok)
        return {};
    heif_image_handle* primary = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image_handle, HandleRelease> handle(primary);
    return QSize(heif_image_handle_get_width(handle.get()),
                 heif_image_handle_get_height(handle.get()));
}

QImage readHeifPicture(const QByteArray& bytes, const QString& name, qint64 maxPixels,
                       QString* error) {
    startLibheif();
    const std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    heif_error result = heif_context_read_from_memory_without_copy(context.get(), bytes.constData(),
                                                                   size_t(bytes.size()), nullptr);
    if (result.code != heif_error_Ok) {
        *error = failure(name, result);
        return {};
    }
    heif_image_handle* primary = nullptr;
    result = heif_context_get_primary_image_handle(context.get(), &primary);
    const std::unique_ptr<heif_image_handle, HandleRelease> handle(primary);
    if (result.code != heif_error_Ok) {
        *error = failure(name, result);
        return {};
    }
    // The size after the file's own rotation and cropping, known before decoding.
    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0) {
        *error = QStringLiteral("%1 could not be read (no picture size).").arg(name);
        return {};
    }
    if (qint64(width) * height > maxPixels) {
        *error =
            QStringLiteral("%1 is too large (%2 x %3 pixels).").arg(name).arg(width).arg(height);
        return {};
    }
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const bool premultiplied = heif_image_handle_is_premultiplied_alpha(handle.get()) != 0;
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(
        heif_decoding_options_alloc());
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    result = heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                               alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                               options.get());
    if (result.code != heif_error_Ok || decoded == nullptr) {
        if (decoded) heif_image_release(decoded);
        *error = failure(name, result);
        return {};
    }
    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    const int planeWidth = heif_image_get_width(decoded, heif_channel_interleaved);
    const int planeHeight = heif_image_get_height(decoded, heif_channel_interleaved);
    if (plane == nullptr || planeWidth <= 0 || planeHeight <= 0 ||
        stride < planeWidth * (alpha ? 4 : 3)) {
        heif_image_release(decoded);
        *error = QStringLiteral("%1 could not be read (no picture data).").arg(name);
        return {};
    }
    const QImage::Format format = !alpha          ? QImage::Format_RGB888
                                  : premultiplied ? QImage::Format_RGBA8888_Premultiplied
                                                  : QImage::Format_RGBA8888;
    // The decoded plane is used in place and let go with the picture.
    return QImage(
        plane, planeWidth, planeHeight, stride, format,
        [](void* image) { heif_image_release(static_cast<heif_image*>(image)); }, decoded);
}

}  // namespace velmora
