// Owns the iconv conversions between a Windows code page and UTF-8.
#include "platform/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

namespace zelm {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

iconv_t AsIconv(void* handle) { return handle == nullptr ? kNoConverter : handle; }

// Runs one complete conversion; the descriptor's shift state is reset first.
bool Convert(void* handle, std::string_view in, std::string& out) {
  out.clear();
  iconv_t cd = AsIconv(handle);
  if (cd == kNoConverter) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (in.empty()) return true;
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  out.resize(in.size() * 4 + 16);
  size_t produced = 0;
  for (;;) {
    char* outPtr = out.data() + produced;
    size_t outLeft = out.size() - produced;
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    produced = out.size() - outLeft;
    if (rc != static_cast<size_t>(-1)) {
      // Flush any pending shift sequence.
      outPtr = out.data() + produced;
      outLeft = out.size() - produced;
      if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) break;
      produced = out.size() - outLeft;
      // Irreversible conversions (replacement characters) are not accepted.
      if (rc != 0) break;
      out.resize(produced);
      return true;
    }
    if (errno != E2BIG) break;
    out.resize(out.size() * 2);
  }
  out.clear();
  return false;
}

}  // namespace

std::string CodePageName(uint32_t codePage) {
  if (codePage == 20127) return "ANSI_X3.4-1968";
  if (codePage == 20866) return "KOI8-R";
  if (codePage == 21866) return "KOI8-U";
  if (codePage >= 28591 && codePage <= 28606) {
    return "ISO-8859-" + std::to_string(codePage - 28590);
  }
  if (codePage == 65001) return "UTF-8";
  char name[24];
  std::snprintf(name, sizeof name, "CP%u", codePage);
  return name;
}

CCodePage::CCodePage(uint32_t codePage) { Set(codePage); }

CCodePage::~CCodePage() { Close(); }

CCodePage::CCodePage(CCodePage&& other) noexcept
    : codePage_(other.codePage_),
      broken_(other.broken_),
      toUtf8_(other.toUtf8_),
      fromUtf8_(other.fromUtf8_) {
  other.codePage_ = 0;
  other.broken_ = false;
  other.toUtf8_ = nullptr;
  other.fromUtf8_ = nullptr;
}

CCodePage& CCodePage::operator=(CCodePage&& other) noexcept {
  if (this != &other) {
    Close();
    codePage_ = other.codePage_;
    broken_ = other.broken_;
    toUtf8_ = other.toUtf8_;
    fromUtf8_ = other.fromUtf8_;
    other.codePage_ = 0;
    other.broken_ = false;
    other.toUtf8_ = nullptr;
    other.fromUtf8_ = nullptr;
  }
  return *this;
}

void CCodePage::Close() {
  if (toUtf8_ != nullptr) iconv_close(static_cast<iconv_t>(toUtf8_));
  if (fromUtf8_ != nullptr) iconv_close(static_cast<iconv_t>(fromUtf8_));
  toUtf8_ = nullptr;
  fromUtf8_ = nullptr;
}

bool CCodePage::Set(uint32_t codePage) {
  Close();
  codePage_ = codePage;
  broken_ = false;
  if (IsPassThrough()) return true;
  const std::string name = CodePageName(codePage);
  iconv_t to = iconv_open("UTF-8", name.c_str());
  iconv_t from = iconv_open(name.c_str(), "UTF-8");
  if (to == kNoConverter || from == kNoConverter) {
    if (to != kNoConverter) iconv_close(to);
    if (from != kNoConverter) iconv_close(from);
    broken_ = true;
    return false;
  }
  toUtf8_ = to;
  fromUtf8_ = from;
  return true;
}

bool CCodePage::ToUtf8(std::string_view client, std::string& utf8) {
  if (broken_) {
    utf8.clear();
    return false;
  }
  if (IsPassThrough()) {
    utf8.assign(client);
    return true;
  }
  return Convert(toUtf8_, client, utf8);
}

bool CCodePage::FromUtf8(std::string_view utf8, std::string& client) {
  if (broken_) {
    client.clear();
    return false;
  }
  if (IsPassThrough()) {
    client.assign(utf8);
    return true;
  }
  return Convert(fromUtf8_, utf8, client);
}

}  // namespace zelm
