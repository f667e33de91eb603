#pragma once

#include <QImage>
#include <QString>
#include <functional>

#include "metadata.h"

namespace velmora {

class StepRunner;
class UserDialogs;

// File types of the Save dialog, by its 1-based filter index.
enum SaveType { kSaveBmp = 1, kSaveJpg = 2, kSaveGif = 3, kSavePng = 4 };

// The extension the type appends (".bmp", ...); empty for an unknown index.
QString saveExtension(int filterIndex);

// The chosen path without a trailing ".bmp", ".jpg", ".gif" or ".png" (any
// letter case), to which the chosen type's extension is then appended.
QString saveBasePath(const QString& path);

// The folder where a save keeps its temporary files: TEMP when it names a
// writable folder, else the system's temporary folder.
QString temporaryRoot();

struct SaveContext {
    QWidget* window = nullptr;
    UserDialogs* dialogs = nullptr;
    QString appTitle;
    std::function<QImage()> picture;  // the persistent image, read when needed
    // What the picture's file said about itself, kept in a JPEG or PNG.
    convert::PictureMetadata metadata;
    std::function<void(int)> setPointer;
    // Repaints the picture on screen as it is saved, covering any outline drawn over it.
    std::function<void()> redraw;
    std::function<void(const QString&)> reportError;
    // Writes the converter program to the given path in place of the stored
    // build; the stored build unless set.
    std::function<void(const QString&)> extractConverter;
};

// "Save Results As New Image File".
void saveResults(const SaveContext& context);

}  // namespace velmora
