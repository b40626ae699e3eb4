// URL and path canonicalisation.  For any text: canonical forms are
// idempotent, hold no "." or ".." segment (not even escaped), and never climb
// above their root; a file:// URL's local path is absolute and canonical;
// the name checks agree with canonical form.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "ostrel_path.h"

namespace {

// The path part of the canonical URL URL ("" when it has none).
std::string_view url_path(std::string_view url) {
  size_t slash = url.find('/', url.find("://") + 3);
  return slash == std::string_view::npos ? std::string_view() : url.substr(slash);
}

void check_url(const std::string &url, const char *root, apr_pool_t *pool) {
  const char *canon = ostrel_uri_canonicalize(url.c_str(), pool);
  OSTREL_FUZZ_CHECK(std::strcmp(ostrel_uri_canonicalize(canon, pool), canon) == 0, url);
  OSTREL_FUZZ_CHECK(ostrel_uri_is_canonical(canon, pool), url);
  if (root) OSTREL_FUZZ_CHECK(std::strncmp(canon, root, std::strlen(root)) == 0, url);

  std::string_view path = url_path(canon);
  OSTREL_FUZZ_CHECK(path.empty() || path[0] == '/', url);
  size_t start = 1;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    std::string seg(path.substr(start, end == std::string_view::npos ? end : end - start));
    std::string plain = ostrel_path_uri_decode(seg.c_str(), pool);
    OSTREL_FUZZ_CHECK(!seg.empty(), url);
    if (seg.find("%00") != std::string::npos) {
      // Decoded as a C string the name ends early: the name check refuses it.
      ostrel_error *err = ostrel_uri_check_names(canon);
      OSTREL_FUZZ_CHECK(err != nullptr, url);
      ostrel_error_clear(err);
    } else {
      OSTREL_FUZZ_CHECK(plain != "." && plain != "..", url);
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }

  if (std::strncmp(canon, "file://", 7) == 0) {
    const char *dirent = nullptr;
    ostrel_error *err = ostrel_uri_get_dirent_from_file_url(&dirent, canon, pool);
    if (!err) {
      OSTREL_FUZZ_CHECK(dirent[0] == '/', url);
      OSTREL_FUZZ_CHECK(std::strcmp(ostrel_dirent_canonicalize(dirent, pool), dirent) == 0, url);
      OSTREL_FUZZ_CHECK(std::string_view(dirent).find("/../") == std::string_view::npos &&
                            !std::string_view(dirent).ends_with("/.."),
                        url);
    }
    ostrel_error_clear(err);
  }
}

void check_relpath(const std::string &text, apr_pool_t *pool) {
  const char *canon = ostrel_relpath_canonicalize(text.c_str(), pool);
  OSTREL_FUZZ_CHECK(std::strcmp(ostrel_relpath_canonicalize(canon, pool), canon) == 0, text);
  OSTREL_FUZZ_CHECK(ostrel_relpath_is_canonical(canon), text);
  std::string padded = std::string("/") + canon + "/";
  OSTREL_FUZZ_CHECK(padded.find("/../") == std::string::npos, text);
  OSTREL_FUZZ_CHECK(padded.find("/./") == std::string::npos, text);
  OSTREL_FUZZ_CHECK(canon[0] != '/', text);

  // Joined below a URL, a canonical relpath stays canonical and below it.
  const char *joined = ostrel_uri_join_relpath("http://host/repo", canon, pool);
  OSTREL_FUZZ_CHECK(std::strcmp(ostrel_uri_canonicalize(joined, pool), joined) == 0, text);
  if (*canon) {
    const char *below = ostrel_uri__is_child("http://host/repo", joined, pool);
    OSTREL_FUZZ_CHECK(below && std::strcmp(below, canon) == 0, text);
  }

  // A relpath that passes the name checks is canonical, and so is every
  // path built from it.
  ostrel_error *err = ostrel_relpath_check(text.c_str());
  if (!err) {
    OSTREL_FUZZ_CHECK(std::strcmp(canon, text.c_str()) == 0, text);
    ostrel_error *fs_err = ostrel_fspath_check(("/" + text).c_str());
    OSTREL_FUZZ_CHECK(fs_err == nullptr, text);
    const std::string dirent = "/srv/repo" + (text.empty() ? "" : "/" + text);
    const char *relpath = nullptr;
    ostrel_error *below_err = ostrel_dirent_repos_relpath(&relpath, "/srv/repo", dirent.c_str());
    OSTREL_FUZZ_CHECK(below_err == nullptr && relpath && text == relpath, text);
  }
  ostrel_error_clear(err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ostrel_fuzz::InputPool pool;
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(std::strlen(text.c_str()));  // the C API ends at a NUL

  if (ostrel_path_is_url(text.c_str())) check_url(text, nullptr, pool.get());
  check_url("file:///" + text, "file:///", pool.get());
  check_url("http://host/" + text, "http://host", pool.get());
  check_relpath(text, pool.get());

  ostrel_error *err = ostrel_uri_check_names(("http://host/" + text).c_str());
  ostrel_error_clear(err);
  return 0;
}
