// http/srv.cpp -- the access hook and handler lists of srv, and the application's appsrv.
#include "http/srv.h"

#include <algorithm>
#include <cstring>

namespace kelvane::http {
namespace {

// Whether the first |length| characters of |a| and |b| are equal without regard to ASCII case
// (a text that ends earlier must end in both at the same place).
bool PrefixEqualNoCase(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
    if (x == '\0') return true;
  }
  return true;
}

// Unlinks a list row by row, so that a long list cannot exhaust the stack in nested destructors.
template <typename Row>
void FreeRows(std::unique_ptr<Row>& head) {
  while (head) head = std::move(head->next);
}

}  // namespace

srv::srv(archive::FileArchiveReader& reader, const char* root, uint16_t port, int line_size,
         int max_variables, int max_url, int max_cookie)
    : templ(reader, root, port, line_size, max_variables, max_url, max_cookie) {}

srv::~srv() {
  FreeRows(PageHandlers);
  FreeRows(IncludeHandlers);
}

void srv::AddPageHandler(const char* name, PageHandlerFunction handler) {
  PageHandlers.reset(new pagehandler{name, std::move(handler), std::move(PageHandlers)});
}

void srv::AddIncludeHandler(const char* name, unsigned int prefix_length,
                            IncludeHandlerFunction handler) {
  IncludeHandlers.reset(
      new includehandler{name, prefix_length, std::move(handler), std::move(IncludeHandlers)});
}

bool srv::OnRequest(httpsock& client, uint32_t address, uint16_t port, const char* path,
                    char* cookie, varlist* variables) {
  Trace("srv::OnRequest(%s)\n", path);
  if (!OnCheckAccess(address, path, cookie)) {
    return OnAccessDenied(client, address, port, path, cookie, variables);
  }
  const char* page = path + RootLength;
  for (pagehandler* row = PageHandlers.get(); row != nullptr; row = row->next.get()) {
    if (EqualNoCase(row->Name, page)) {
      return row->Handler(*this, client, address, port, path, cookie, variables);
    }
  }
  return templ::OnRequest(client, address, port, path, cookie, variables);
}

bool srv::OnCheckAccess(uint32_t /*address*/, const char* /*path*/, char* cookie) {
  cookie[0] = '\0';
  return true;
}

bool srv::OnAccessDenied(httpsock& /*client*/, uint32_t /*address*/, uint16_t /*port*/,
                         const char* /*path*/, char* /*cookie*/, varlist* /*variables*/) {
  return false;
}

bool srv::OnServerSideInclude(httpsock& client, const char* name, uint32_t address,
                              uint16_t port, const char* path, char* cookie,
                              varlist* variables) {
  if (name == nullptr) return false;
  for (includehandler* row = IncludeHandlers.get(); row != nullptr; row = row->next.get()) {
    const bool whole = row->PrefixLength == 0;
    if (whole ? EqualNoCase(row->Name, name)
              : PrefixEqualNoCase(row->Name, name, row->PrefixLength)) {
      // A prefix longer than the name gives the name's terminator as an empty argument.
      const char* argument =
          whole ? nullptr : name + std::min<size_t>(row->PrefixLength, std::strlen(name));
      return row->Handler(*this, client, argument, address, port, path, cookie, variables);
    }
  }
  return false;
}

appsrv::appsrv(archive::FileArchiveReader& reader, const char* root, uint16_t port)
    : srv(reader, root, port, kLineSize, kMaxVariables, kMaxUrl, kMaxCookie) {}

appsrv::~appsrv() = default;

}  // namespace kelvane::http
