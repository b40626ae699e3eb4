// URL and path canonicalisation.  For any text: canonical forms are
// idempotent, hold no "." or ".." segment (not even escaped), and never climb
// above their root; a file:// URL's local path is absolute and canonical;
// the name checks agree with canonical form; and every function that has a
// short road for plain text returns what its general road (the reference)
// returns.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "../path_reference.h"
#include "fuzz_support.h"
#include "ostrel_path.h"

namespace {

namespace ref = ostrel_path_reference;

// GOT against the reference's EXPECTED as the C API hands it out: up to its
// first NUL byte (a decoded "%00").
void check_same(const char *got, const std::string &expected, const char *what,
                const std::string &input) {
  if (!got || std::strcmp(got, expected.c_str()) != 0)
    ostrel_fuzz::broken(what, input, __FILE__, __LINE__);
}

// Each function with a short road against its reference, on TEXT as it is
// and, for the URL functions, on URL (a URL made from TEXT) and OTHER.
void check_against_reference(const std::string &text, const std::string &url,
                             const std::string &other, apr_pool_t *pool) {
  check_same(ostrel_path_uri_from_iri(text.c_str(), pool), ref::uri_from_iri(text), "from_iri",
             text);
  check_same(ostrel_path_uri_autoescape(text.c_str(), pool), ref::uri_autoescape(text),
             "autoescape", text);
  check_same(ostrel_dirent_canonicalize(text.c_str(), pool), ref::dirent_canonicalize(text),
             "dirent_canonicalize", text);
  for (const std::string &path : {text, "/" + text}) {
    ostrel_error *err =
        path[0] == '/' ? ostrel_fspath_check(path.c_str()) : ostrel_relpath_check(path.c_str());
    std::string_view checked(path);
    if (path[0] == '/' && path != "/") checked.remove_prefix(1);
    ostrel_error *ref_err = path == "/" ? OSTREL_NO_ERROR : ref::path_check_segments(checked, path);
    OSTREL_FUZZ_CHECK((err == nullptr) == (ref_err == nullptr), path);
    if (err) check_same(err->message, ref_err->message, "path_check_segments", path);
    ostrel_error_clear(err);
    ostrel_error_clear(ref_err);
  }

  // Any text, URL or not, may be handed to the URL canonicaliser.
  check_same(ostrel_uri_canonicalize(text.c_str(), pool), ref::uri_canonicalize(text),
             "uri_canonicalize of any text", text);
  const std::string canon = ref::uri_canonicalize(url);
  const std::string canon_other = ref::uri_canonicalize(other);
  check_same(ostrel_uri_canonicalize(url.c_str(), pool), canon, "uri_canonicalize", url);
  OSTREL_FUZZ_CHECK(ostrel_uri_is_canonical(url.c_str(), pool) == (canon == url), url);
  for (const std::string *u : {&url, &canon}) {
    check_same(ostrel_uri_dirname(u->c_str(), pool), ref::uri_dirname(*u), "uri_dirname", *u);
    ostrel_error *err = ostrel_uri_check_names(u->c_str());
    ostrel_error *ref_err = ref::uri_check_names(u->c_str());
    OSTREL_FUZZ_CHECK((err == nullptr) == (ref_err == nullptr), *u);
    if (err) check_same(err->message, ref_err->message, "uri_check_names", *u);
    ostrel_error_clear(err);
    ostrel_error_clear(ref_err);
  }
  const std::pair<const std::string *, const std::string *> pairs[] = {
      {&url, &other}, {&other, &url}, {&canon, &canon_other}, {&canon_other, &canon}};
  for (const auto &[a, b] : pairs) {
    const std::string both = *a + " " + *b;
    check_same(ostrel_uri_get_longest_ancestor(a->c_str(), b->c_str(), pool),
               ref::uri_get_longest_ancestor(*a, *b), "uri_get_longest_ancestor", both);
    const char *child = ostrel_uri__is_child(a->c_str(), b->c_str(), pool);
    std::optional<std::string> ref_child = ref::uri_is_child(*a, *b);
    OSTREL_FUZZ_CHECK((child == nullptr) == !ref_child, both);
    if (child) check_same(child, *ref_child, "uri__is_child", both);
  }
}

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

  // The reference comparison on the text as a URL (when it is one) or below
  // a URL, with a second URL cut from its own first half for the pairwise
  // functions, so the two share an ancestor now and then.
  const std::string url = ostrel_path_is_url(text.c_str()) ? text : "http://host/" + text;
  const std::string other = url.substr(0, url.find("://") + 3 + (url.size() - url.find("://")) / 2);
  check_against_reference(text, url, other, pool.get());
  check_against_reference(text, "file:///" + text, "file:///" + text.substr(0, text.size() / 2),
                          pool.get());

  ostrel_error *err = ostrel_uri_check_names(("http://host/" + text).c_str());
  ostrel_error_clear(err);
  return 0;
}
