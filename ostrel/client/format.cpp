// The console tools' one format for properties, log entries and listings
// (ostrel_client.h).

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ostrel_client.h"
#include "ostrel_props.h"

extern "C" {

void ostrel_client_format_props(ostrel_stringbuf *out, apr_hash_t *props, apr_pool_t *pool) {
  apr_array_header_t *names = ostrel_prop_sorted_names(props, pool);
  for (int i = 0; i < names->nelts; ++i) {
    const char *name = APR_ARRAY_IDX(names, i, const char *);
    auto *value =
        static_cast<const ostrel_string *>(apr_hash_get(props, name, APR_HASH_KEY_STRING));
    ostrel_stringbuf_appendcstr(out, "  ");
    ostrel_stringbuf_appendcstr(out, name);
    ostrel_stringbuf_appendcstr(out, ": ");
    ostrel_stringbuf_appendbytes(out, value->data, value->len);
    ostrel_stringbuf_appendbyte(out, '\n');
  }
}

void ostrel_client_format_log_entry(ostrel_stringbuf *out, ostrel_revnum rev,
                                    apr_hash_t *revprops, apr_hash_t *changed_paths,
                                    apr_pool_t *pool) {
  ostrel_stringbuf_appendcstr(out, ("r" + std::to_string(rev) + "\n").c_str());
  ostrel_client_format_props(out, revprops, pool);
  if (!changed_paths) return;
  ostrel_stringbuf_appendcstr(out, "Changed paths:\n");
  ostrel_client_format_changes(out, changed_paths, pool);
}

void ostrel_client_format_changes(ostrel_stringbuf *out, apr_hash_t *changed_paths,
                                  apr_pool_t *pool) {
  std::vector<std::pair<std::string, const ostrel_path_change *>> sorted;
  for (apr_hash_index_t *hi = apr_hash_first(pool, changed_paths); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    sorted.emplace_back(static_cast<const char *>(key), static_cast<const ostrel_path_change *>(val));
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  static const char kLetters[] = "MADR";
  for (const auto &[path, ch] : sorted) {
    std::string line = std::string("   ") + kLetters[ch->change_kind] + " " + path +
                       (ch->node_kind == ostrel_node_dir && path != "/" ? "/" : "");
    if (ch->copyfrom_path)
      line += std::string(" (from ") + ch->copyfrom_path + ":" + std::to_string(ch->copyfrom_rev) +
              ")";
    ostrel_stringbuf_appendcstr(out, (line + "\n").c_str());
  }
}

void ostrel_client_format_ls_line(ostrel_stringbuf *out, const char *relpath,
                                  ostrel_node_kind kind) {
  ostrel_stringbuf_appendcstr(out, relpath);
  if (kind == ostrel_node_dir) ostrel_stringbuf_appendbyte(out, '/');
  ostrel_stringbuf_appendbyte(out, '\n');
}

}  // extern "C"
