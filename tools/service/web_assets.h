// The built-in page, its script and style, and q48.js, compiled into the
// binary from tools/service/web by embed_web.cmake. Constant data; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace q48service {

struct WebAsset {
  const char* path;         // URL path: "/" for index.html, else "/" + file name
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

// The asset at this URL path, or null.
inline const WebAsset* FindWebAsset(std::string_view path) {
  for (size_t i = 0; i < kWebAssetCount; ++i)
    if (path == kWebAssets[i].path) return &kWebAssets[i];
  return nullptr;
}

}  // namespace q48service
