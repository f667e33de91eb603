#pragma once

namespace velmora {

// What --version prints below the program's name and version.
inline constexpr char kCopyrightNotice[] =
    "Copyright (c) 2026 The Velmora developers\n"
    "This is free software under the MIT licence: you may copy, change and share it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

}  // namespace velmora
