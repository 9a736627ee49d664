// The console page's files (HTML, CSS, JavaScript from src/ui/page/), compiled into the
// program so that it needs no files on disk and nothing from the network.
#pragma once

#include <string_view>

namespace zelm {

// The file served at `path` ("/index.html", "/console.css", "/console.js") and its type.
bool ConsolePageAsset(std::string_view path, std::string_view& content,
                      std::string_view& contentType);

}  // namespace zelm
