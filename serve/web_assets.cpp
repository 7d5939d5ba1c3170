#include "serve/web_assets.h"

namespace vantor::serve {

const WebAsset* FindWebAsset(std::string_view path) {
    for (std::size_t i = 0; i < kWebAssetCount; ++i) {
        if (path == kWebAssets[i].path) {
            return &kWebAssets[i];
        }
    }
    return nullptr;
}

}  // namespace vantor::serve
