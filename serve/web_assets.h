// The dashboard's files (web/), built into the program: it needs no file at run time and
// nothing from the internet.
#pragma once

#include <cstddef>
#include <string_view>

namespace vantor::serve {

struct WebAsset {
    const char* path;  // as requested: "/", "/app.css"
    const unsigned char* bytes;
    std::size_t size;
    const char* content_type;
};

// The file served at `path`; null when there is none.
const WebAsset* FindWebAsset(std::string_view path);

// Made at build time from web/ (embed_web.cmake).
extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace vantor::serve
