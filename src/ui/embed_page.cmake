# Writes OUTPUT, a C++ file that holds every file of the console page as a byte array and
# defines zelm::ConsolePageAsset. Run at build time: cmake -DOUTPUT=... -DFILES="a;b" -P this.
set(body "")
set(table "")
set(index 0)
foreach(file ${FILES})
  get_filename_component(name ${file} NAME)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
         bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND body "const unsigned char kFile${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", kFile${index}, ${size}, \"${type}\"},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from src/ui/page/ by embed_page.cmake; do not edit.
#include \"ui/console_page.h\"

#include <cstddef>

namespace zelm {
namespace {

${body}
struct Asset {
  const char* path;
  const unsigned char* bytes;
  size_t size;
  const char* type;
};

const Asset kAssets[] = {
${table}};

}  // namespace

bool ConsolePageAsset(std::string_view path, std::string_view& content,
                      std::string_view& contentType) {
  for (const Asset& asset : kAssets) {
    if (path == asset.path) {
      content = std::string_view(reinterpret_cast<const char*>(asset.bytes), asset.size);
      contentType = asset.type;
      return true;
    }
  }
  return false;
}

}  // namespace zelm
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
