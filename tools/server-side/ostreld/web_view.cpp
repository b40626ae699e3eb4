// The web view: what a browser or a script gets for a repository URL
// without an op.
//
//   URL                       a directory page, or a file page (its text with
//                             line numbers, or a download link for binary
//                             contents)
//   URL?r=N                   the same at revision N (default: the youngest)
//   URL?log[&from=N]          the log of the path, newest first, one page
//   URL?revision=N            revision N: its message and changed paths
//   URL?raw, or Accept:       a file's bytes, with Content-Type, ETag and
//   application/octet-stream  Range support
//   Accept: application/json  listings, file details and logs as JSON
//
// A file asked for without text/html in Accept (curl, wget) is sent raw.
// Every text of a page goes through HtmlWriter (html.h); pages carry no
// script, and the security headers forbid any.

#include <apr_strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "html.h"
#include "http_input.h"
#include "ostrel_path.h"
#include "ostrel_props.h"
#include "read_context.h"

namespace ostreld {

namespace {

// Entries of one log page, unless the request asks for fewer.
constexpr long long kLogPage = 25;
// Files up to this size are shown on their page; larger ones are offered
// for download only.
constexpr ostrel_filesize kMaxShown = 1 << 20;
// How much of a file decides whether it is text.
constexpr std::size_t kSniffBytes = 8192;

const char kStyle[] =
    "body{font:15px/1.45 system-ui,sans-serif;margin:0;color:#1d2327;background:#fafafa}"
    "header{background:#24415f;color:#fff;padding:.6em 1.2em}header a{color:#fff}"
    "main{padding:1em 1.2em}a{color:#1a5fb4;text-decoration:none}a:hover{text-decoration:underline}"
    "table{border-collapse:collapse;background:#fff}th,td{padding:.25em .8em;text-align:left;"
    "border-bottom:1px solid #e3e3e3;vertical-align:top}th{background:#eef1f4}"
    "td.num{text-align:right;font-variant-numeric:tabular-nums}"
    "table.code td{border:0;padding:0 .6em;font:13px/1.4 ui-monospace,monospace;white-space:pre}"
    "table.code td.ln{color:#888;text-align:right;user-select:none}"
    ".msg{white-space:pre-wrap;background:#fff;border:1px solid #e3e3e3;padding:.5em}"
    ".actions a{margin-right:1em}.muted{color:#666}";

enum class Format { html, json, raw };

bool accept_has(const ReadContext &ctx, const char *type) {
  const char *accept = MHD_lookup_connection_value(ctx.route->connection, MHD_HEADER_KIND,
                                                   MHD_HTTP_HEADER_ACCEPT);
  return accept && std::strstr(accept, type);
}

Format asked_format(const ReadContext &ctx) {
  if (ctx.has_arg("raw") || accept_has(ctx, "application/octet-stream")) return Format::raw;
  if (accept_has(ctx, "application/json")) return Format::json;
  return Format::html;
}

// The request's revision (?r=N), -1 for the youngest.
ostrel_error *peg_revision(ostrel_revnum *rev, const ReadContext &ctx, const char *name) {
  const char *text = ctx.arg(name);
  long long value = -1;
  if (text && *text && !parse_query_number(text, 0, OSTREL_REVNUM_MAX, &value))
    return ostrel_error_createf(OSTREL_ERR_BAD_REVISION, nullptr, "Invalid revision '%s'",
                                ostrel_path_uri_autoescape(text, ctx.pool));
  if (value > ctx.youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                "No such revision %lld (youngest is %ld)", value,
                                static_cast<long>(ctx.youngest));
  *rev = static_cast<ostrel_revnum>(value);
  return OSTREL_NO_ERROR;
}

std::string message_of(const ostrel_error *err, const ReadContext &ctx) {
  std::string text;
  for (const ostrel_error *link = err; link; link = link->child) {
    if (!link->message) continue;
    if (!text.empty()) text += "\n";
    text += link->message;
  }
  if (!ctx.local_root.empty())
    for (std::size_t at = 0; (at = text.find(ctx.local_root, at)) != std::string::npos;
         at += ctx.route->public_root.size())
      text.replace(at, ctx.local_root.size(), ctx.route->public_root);
  return text;
}

const char *string_prop(apr_hash_t *props, const char *name) {
  auto *value = props ? static_cast<const ostrel_string *>(apr_hash_get(props, name, APR_HASH_KEY_STRING))
                      : nullptr;
  return value ? value->data : nullptr;
}

// "2026-12-10T14:30:58.123456Z" -> "2026-12-10 14:30".
std::string short_date(const char *date) {
  if (!date || std::strlen(date) < 16) return date ? date : "";
  std::string d(date, 16);
  d[10] = ' ';
  return d;
}

// How long ago DATE was, in the largest unit that fits.
std::string age_of(const char *date) {
  if (!date) return "";
  std::tm tm{};
  if (!strptime(date, "%Y-%m-%dT%H:%M:%S", &tm)) return "";
  long long secs = static_cast<long long>(std::time(nullptr) - timegm(&tm));
  if (secs < 0) secs = 0;
  struct Unit {
    long long size;
    const char *name;
  };
  static const Unit kUnits[] = {{31536000, "year"}, {2592000, "month"}, {86400, "day"},
                                {3600, "hour"},     {60, "minute"},     {1, "second"}};
  for (const Unit &u : kUnits) {
    if (secs < u.size && u.size != 1) continue;
    long long n = secs / u.size;
    return std::to_string(n) + " " + u.name + (n == 1 ? "" : "s") + " ago";
  }
  return "";
}

// ---- Page frame ----

// The URL path of FS_PATH ('/'-rooted) in this repository.
void link_path(HtmlWriter &h, const ReadContext &ctx, const std::string &fs_path) {
  h.path("/" + ctx.route->repos + (fs_path == "/" ? "/" : fs_path));
}

void rev_query(HtmlWriter &h, ostrel_revnum rev, bool first = true) {
  if (rev < 0) return;
  h.markup_if(first, "?r=", "&amp;r=").number(rev);
}

void begin_page(HtmlWriter &h, const ReadContext &ctx, const std::string &title,
                ostrel_revnum rev) {
  h.markup("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\"><title>")
      .text(title)
      .markup("</title><style>")
      .markup(kStyle)
      .markup("</style></head><body><header><nav class=\"crumbs\"><a href=\"");
  link_path(h, ctx, "/");
  rev_query(h, rev);
  h.markup("\">").text(ctx.route->repos).markup("</a>");
  // One link per component of the path.
  std::string so_far;
  const std::string &p = ctx.route->fs_path;
  for (std::size_t at = 0; at < p.size();) {
    std::size_t slash = p.find('/', at);
    std::string name = p.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    so_far += "/" + name;
    h.markup(" / <a href=\"");
    link_path(h, ctx, so_far);
    rev_query(h, rev);
    h.markup("\">").text(name).markup("</a>");
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  h.markup(" <span class=\"muted\">@ r").number(rev < 0 ? ctx.youngest : rev);
  h.markup("</span></nav></header><main>");
}

void end_page(HtmlWriter &h) { h.markup("</main></body></html>\n"); }

MHD_Result send_html(ReadContext &ctx, unsigned status, HtmlWriter &h, bool fixed,
                     const std::string &etag) {
  return send_whole(ctx, status, std::move(h.str()), "text/html; charset=utf-8",
                    [&](MHD_Response *r) { add_cache_headers(r, ctx, fixed, etag); });
}

MHD_Result send_json(ReadContext &ctx, JsonWriter &j, bool fixed, const std::string &etag) {
  return send_whole(ctx, MHD_HTTP_OK, std::move(j.str()), "application/json",
                    [&](MHD_Response *r) { add_cache_headers(r, ctx, fixed, etag); });
}

void props_table(HtmlWriter &h, apr_hash_t *props, apr_pool_t *pool) {
  if (!props || apr_hash_count(props) == 0) return;
  std::vector<std::pair<std::string, std::string>> sorted;
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    auto *v = static_cast<const ostrel_string *>(val);
    sorted.emplace_back(static_cast<const char *>(key), std::string(v->data, v->len));
  }
  std::sort(sorted.begin(), sorted.end());
  h.markup("<h2>Properties</h2><table class=\"props\"><tr><th>Name</th><th>Value</th></tr>");
  for (const auto &[name, value] : sorted)
    h.markup("<tr><td>").text(name).markup("</td><td>").text(value).markup("</td></tr>");
  h.markup("</table>");
}

void json_props(JsonWriter &j, apr_hash_t *props, apr_pool_t *pool) {
  j.markup("{");
  bool first = true;
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_hash_this(hi, &key, nullptr, &val);
    auto *v = static_cast<const ostrel_string *>(val);
    if (!first) j.markup(",");
    first = false;
    j.string(static_cast<const char *>(key)).markup(":").string(std::string_view(v->data, v->len));
  }
  j.markup("}");
}

// ---- Directories ----

struct Entry {
  std::string name;
  ostrel_ra_dirent d;
  std::string author, date;
};

ostrel_error *collect_entries(std::vector<Entry> &out, ReadContext &ctx, ostrel_revnum rev) {
  auto receive = [](void *baton, const char *relpath, const ostrel_ra_dirent *d,
                    apr_pool_t *) -> ostrel_error * {
    auto *v = static_cast<std::vector<Entry> *>(baton);
    v->push_back({relpath, *d, d->last_author ? d->last_author : "", d->time ? d->time : ""});
    v->back().d.last_author = nullptr;
    v->back().d.time = nullptr;
    return OSTREL_NO_ERROR;
  };
  return ostrel_ra_list(ctx.session, ctx.route->fs_path.c_str(), rev, ostrel_ra_depth_immediates,
                        receive, &out, nullptr, ctx.pool);
}

MHD_Result directory_page(ReadContext &ctx, ostrel_revnum rev, ostrel_revnum fetched,
                          Format format) {
  std::vector<Entry> entries;
  apr_hash_t *props = nullptr;
  ostrel_error *err = collect_entries(entries, ctx, fetched);
  if (!err) err = ostrel_ra_get_props(ctx.session, ctx.route->fs_path.c_str(), fetched, &props,
                                      nullptr, ctx.pool);
  if (err) return send_web_error(ctx, err);
  bool fixed = rev >= 0;
  std::string etag =
      fixed ? make_etag("dir " + std::string(format == Format::json ? "json " : "html ") +
                        ctx.fs_path() + " " + std::to_string(fetched) + " " +
                        (ctx.route->identity->anonymous ? "-" : ctx.route->identity->user))
            : "";
  if (fixed && not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  std::string base = ctx.fs_path() == "/" ? "/" : ctx.fs_path() + "/";
  if (format == Format::json) {
    JsonWriter j;
    j.markup("{\"path\":").string(ctx.fs_path()).markup(",\"revision\":").number(fetched);
    j.markup(",\"kind\":\"dir\",\"properties\":");
    json_props(j, props, ctx.pool);
    j.markup(",\"entries\":[");
    for (std::size_t i = 0; i < entries.size(); i++) {
      const Entry &e = entries[i];
      if (i) j.markup(",");
      j.markup("{\"name\":").string(e.name);
      j.markup_if(e.d.kind == ostrel_node_dir, ",\"kind\":\"dir\"", ",\"kind\":\"file\"");
      j.markup(",\"size\":").number(e.d.size).markup(",\"revision\":").number(e.d.created_rev);
      j.markup(",\"author\":").string_or_null(e.author.empty() ? nullptr : e.author.c_str());
      j.markup(",\"date\":").string_or_null(e.date.empty() ? nullptr : e.date.c_str());
      j.markup("}");
    }
    j.markup("]}\n");
    return send_json(ctx, j, fixed, etag);
  }
  HtmlWriter h;
  begin_page(h, ctx, ctx.route->repos + ctx.fs_path(), rev);
  h.markup("<p class=\"actions\"><a id=\"log-link\" href=\"");
  link_path(h, ctx, base);
  h.markup("?log");
  rev_query(h, rev, false);
  h.markup("\">Log</a></p><table class=\"listing\"><thead><tr><th>Name</th><th>Size</th>"
           "<th>Revision</th><th>Author</th><th>Date</th><th>Age</th></tr></thead><tbody>");
  if (!ctx.route->fs_path.empty()) {
    std::string parent = ctx.fs_path().substr(0, ctx.fs_path().rfind('/'));
    h.markup("<tr><td><a class=\"parent\" href=\"");
    link_path(h, ctx, parent.empty() ? "/" : parent + "/");
    rev_query(h, rev);
    h.markup("\">../</a></td><td></td><td></td><td></td><td></td><td></td></tr>");
  }
  for (const Entry &e : entries) {
    bool dir = e.d.kind == ostrel_node_dir;
    h.markup("<tr class=\"").markup_if(dir, "dir", "file").markup("\"><td><a href=\"");
    link_path(h, ctx, base + e.name + (dir ? "/" : ""));
    rev_query(h, rev);
    h.markup("\">").text(e.name).markup_if(dir, "/", "").markup("</a></td><td class=\"num\">");
    if (!dir) h.number(e.d.size);
    h.markup("</td><td class=\"num\"><a href=\"");
    link_path(h, ctx, "/");
    h.markup("?revision=").number(e.d.created_rev).markup("\">r").number(e.d.created_rev);
    h.markup("</a></td><td>").text(e.author).markup("</td><td>").text(short_date(e.date.c_str()));
    h.markup("</td><td class=\"muted\">").text(age_of(e.date.empty() ? nullptr : e.date.c_str()));
    h.markup("</td></tr>");
  }
  h.markup("</tbody></table>");
  props_table(h, props, ctx.pool);
  end_page(h);
  return send_html(ctx, MHD_HTTP_OK, h, fixed, etag);
}

// ---- Files ----

// A stream that keeps what is written to it in a string, up to a limit,
// and then stops the read that writes it.
struct Collect {
  std::string data;
  std::size_t limit;
};

ostrel_error *collect_write(void *baton, const char *data, apr_size_t *len) {
  auto *c = static_cast<Collect *>(baton);
  std::size_t room = c->limit - c->data.size();
  c->data.append(data, std::min<std::size_t>(room, *len));
  if (c->data.size() >= c->limit)
    return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "enough read");
  return OSTREL_NO_ERROR;
}

// The first LIMIT bytes of the file at FETCHED, and its properties.
ostrel_error *read_head(Collect &c, apr_hash_t **props, ReadContext &ctx, ostrel_revnum fetched) {
  ostrel_stream *stream = ostrel_stream_create(&c, ctx.pool);
  ostrel_stream_set_write(stream, collect_write);
  ostrel_error *err = ostrel_ra_get_file(ctx.session, ctx.route->fs_path.c_str(), fetched, stream,
                                         nullptr, props, ctx.pool);
  if (err && err->apr_err == OSTREL_ERR_CANCELLED && c.data.size() >= c.limit) {
    ostrel_error_clear(err);
    err = OSTREL_NO_ERROR;
    if (props && !*props)
      err = ostrel_ra_get_props(ctx.session, ctx.route->fs_path.c_str(), fetched, props, nullptr,
                                ctx.pool);
  }
  return err;
}

// Whether contents starting with HEAD, with properties PROPS, are text.
bool is_text(const std::string &head, apr_hash_t *props) {
  if (const char *mime = string_prop(props, OSTREL_PROP_MIME_TYPE))
    return std::strncmp(mime, "text/", 5) == 0;
  return looks_like_text(head);
}

// The Content-Type of raw contents: the mime-type property when it is a
// plain type name, else text or binary by sniffing.
std::string content_type_of(const std::string &head, apr_hash_t *props) {
  if (const char *mime = string_prop(props, OSTREL_PROP_MIME_TYPE)) {
    bool plain = *mime != '\0';
    for (const char *p = mime; *p; p++)
      if (!(std::isalnum(static_cast<unsigned char>(*p)) || std::strchr("/+-.;= ", *p)))
        plain = false;
    if (plain) return mime;
  }
  return looks_like_text(head) ? "text/plain; charset=utf-8" : "application/octet-stream";
}

MHD_Result raw_file(ReadContext &ctx, ostrel_revnum rev, ostrel_revnum fetched,
                    const ostrel_ra_dirent &node) {
  bool fixed = rev >= 0;
  std::string etag = make_etag("raw " + ctx.fs_path() + " " + std::to_string(node.created_rev));
  if (not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  Collect head{{}, kSniffBytes};
  apr_hash_t *props = nullptr;
  if (ostrel_error *err = read_head(head, &props, ctx, fetched)) return send_web_error(ctx, err);
  std::string type = content_type_of(head.data, props);
  const std::uint64_t size = static_cast<std::uint64_t>(node.size);
  std::uint64_t first = 0, last = size ? size - 1 : 0;
  const char *range =
      MHD_lookup_connection_value(ctx.route->connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE);
  const char *if_range = MHD_lookup_connection_value(ctx.route->connection, MHD_HEADER_KIND,
                                                     MHD_HTTP_HEADER_IF_RANGE);
  // A range asked for another version of the contents gets them whole.
  if (if_range && etag != if_range) range = nullptr;
  RangeResult asked = parse_range(range, size, &first, &last);
  auto hook = [&](MHD_Response *r) {
    add_cache_headers(r, ctx, fixed, etag);
    MHD_add_response_header(r, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
    if (asked == RangeResult::partial) {
      std::string value = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                          std::to_string(size);
      MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_RANGE, value.c_str());
    }
  };
  if (asked == RangeResult::unsatisfiable) {
    return send_whole(ctx, MHD_HTTP_RANGE_NOT_SATISFIABLE, "", "text/plain; charset=utf-8",
                      [&](MHD_Response *r) {
                        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_RANGE,
                                                ("bytes */" + std::to_string(size)).c_str());
                      });
  }
  if (size == 0) return send_whole(ctx, MHD_HTTP_OK, "", type.c_str(), hook);
  const std::uint64_t length = last - first + 1;
  auto produce = [fetched, first, length](ReadContext &c, const BodyWriter &write) {
    struct Window {
      const BodyWriter &write;
      std::uint64_t skip, left;
    } w{write, first, length};
    ostrel_stream *out = ostrel_stream_create(&w, c.pool);
    ostrel_stream_set_write(out, [](void *b, const char *data, apr_size_t *len) -> ostrel_error * {
      auto *win = static_cast<Window *>(b);
      std::uint64_t n = *len;
      if (win->skip >= n) {
        win->skip -= n;
        return OSTREL_NO_ERROR;
      }
      data += win->skip;
      n -= win->skip;
      win->skip = 0;
      if (n > win->left) n = win->left;
      if (!win->write(data, static_cast<std::size_t>(n)))
        return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "The client went away");
      win->left -= n;
      if (!win->left) return ostrel_error_create(OSTREL_ERR_CANCELLED, nullptr, "range sent");
      return OSTREL_NO_ERROR;
    });
    // A failure after the headers can only cut the body short, which the
    // client sees against Content-Length.
    ostrel_error_clear(ostrel_ra_get_file(c.session, c.route->fs_path.c_str(), fetched, out,
                                          nullptr, nullptr, c.pool));
  };
  return send_streamed(ctx, asked == RangeResult::partial ? MHD_HTTP_PARTIAL_CONTENT : MHD_HTTP_OK,
                       static_cast<long long>(length), type.c_str(), produce, hook);
}

MHD_Result file_page(ReadContext &ctx, ostrel_revnum rev, ostrel_revnum fetched,
                     const ostrel_ra_dirent &node, Format format) {
  bool fixed = rev >= 0;
  std::string etag = make_etag(std::string(format == Format::json ? "json " : "page ") +
                               ctx.fs_path() + " " + std::to_string(node.created_rev) + " " +
                               (rev < 0 ? "head" : std::to_string(rev)));
  if (not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  bool shown = node.size <= kMaxShown;
  Collect contents{{}, shown ? static_cast<std::size_t>(node.size) + 1 : kSniffBytes};
  apr_hash_t *props = nullptr;
  if (ostrel_error *err = read_head(contents, &props, ctx, fetched))
    return send_web_error(ctx, err);
  bool text = is_text(contents.data, props);
  if (format == Format::json) {
    JsonWriter j;
    j.markup("{\"path\":").string(ctx.fs_path()).markup(",\"revision\":").number(fetched);
    j.markup(",\"kind\":\"file\",\"size\":").number(node.size);
    j.markup(",\"created_revision\":").number(node.created_rev);
    j.markup(",\"author\":").string_or_null(node.last_author);
    j.markup(",\"date\":").string_or_null(node.time);
    j.markup_if(text, ",\"text\":true", ",\"text\":false").markup(",\"properties\":");
    json_props(j, props, ctx.pool);
    j.markup("}\n");
    return send_json(ctx, j, fixed, etag);
  }
  HtmlWriter h;
  begin_page(h, ctx, ctx.route->repos + ctx.fs_path(), rev);
  h.markup("<p class=\"actions\"><a id=\"raw-link\" href=\"");
  link_path(h, ctx, ctx.fs_path());
  h.markup("?raw");
  rev_query(h, rev, false);
  h.markup_if(text, "\">Raw</a>", "\" download>Download</a>");
  h.markup("<a id=\"log-link\" href=\"");
  link_path(h, ctx, ctx.fs_path());
  h.markup("?log");
  rev_query(h, rev, false);
  h.markup("\">Log</a><span class=\"muted\">").number(node.size).markup(" bytes, last changed in ");
  h.markup("<a href=\"");
  link_path(h, ctx, "/");
  h.markup("?revision=").number(node.created_rev).markup("\">r").number(node.created_rev);
  h.markup("</a> by ").text(node.last_author ? node.last_author : "(no author)");
  h.markup("</span></p>");
  if (!text) {
    h.markup("<p class=\"binary\">Binary contents: use the download link.</p>");
  } else if (!shown) {
    h.markup("<p class=\"binary\">This file is too large to show here: use the raw link.</p>");
  } else {
    h.markup("<table class=\"code\"><tbody>");
    const std::string &t = contents.data;
    long long line = 0;
    for (std::size_t at = 0; at < t.size() || line == 0;) {
      std::size_t nl = t.find('\n', at);
      std::size_t end = nl == std::string::npos ? t.size() : nl;
      ++line;
      h.markup("<tr id=\"L").number(line).markup("\"><td class=\"ln\"><a href=\"#L").number(line);
      h.markup("\">").number(line).markup("</a></td><td class=\"tx\">");
      h.text(std::string_view(t).substr(at, end - at)).markup("</td></tr>");
      if (nl == std::string::npos) break;
      at = nl + 1;
      if (at == t.size()) break;
    }
    h.markup("</tbody></table>");
  }
  props_table(h, props, ctx.pool);
  end_page(h);
  return send_html(ctx, MHD_HTTP_OK, h, fixed, etag);
}

// ---- Logs and revisions ----

struct LogItem {
  ostrel_revnum rev;
  std::string author, date, message;
  std::vector<std::pair<std::string, ostrel_path_change>> changes;
  std::vector<std::string> copy_paths;  // keeps copyfrom_path alive
};

ostrel_error *collect_log(std::vector<LogItem> &out, ReadContext &ctx, const char *path,
                          ostrel_revnum start, ostrel_revnum end, int limit) {
  auto receive = [](void *baton, const ostrel_ra_log_entry *e, apr_pool_t *pool) -> ostrel_error * {
    auto *v = static_cast<std::vector<LogItem> *>(baton);
    LogItem item;
    item.rev = e->revision;
    const char *a = string_prop(e->revprops, OSTREL_PROP_REVISION_AUTHOR);
    const char *d = string_prop(e->revprops, OSTREL_PROP_REVISION_DATE);
    const char *m = string_prop(e->revprops, OSTREL_PROP_REVISION_LOG);
    item.author = a ? a : "";
    item.date = d ? d : "";
    item.message = m ? m : "";
    if (e->changed_paths) {
      for (apr_hash_index_t *hi = apr_hash_first(pool, e->changed_paths); hi;
           hi = apr_hash_next(hi)) {
        const void *key;
        void *val;
        apr_hash_this(hi, &key, nullptr, &val);
        item.changes.emplace_back(static_cast<const char *>(key),
                                  *static_cast<const ostrel_path_change *>(val));
      }
      std::sort(item.changes.begin(), item.changes.end(),
                [](const auto &x, const auto &y) { return x.first < y.first; });
      item.copy_paths.reserve(item.changes.size());
      for (auto &[p, change] : item.changes) {
        item.copy_paths.emplace_back(change.copyfrom_path ? change.copyfrom_path : "");
        change.copyfrom_path = nullptr;
      }
    }
    v->push_back(std::move(item));
    return OSTREL_NO_ERROR;
  };
  return ostrel_ra_get_log(ctx.session, path, start, end, limit, true, receive, &out, ctx.pool);
}

const char *action_word(ostrel_fs_path_change_kind kind) {
  static const char *const kWords[] = {"M", "A", "D", "R"};
  return kWords[kind];
}

void json_log_item(JsonWriter &j, const LogItem &item) {
  j.markup("{\"revision\":").number(item.rev);
  j.markup(",\"author\":").string_or_null(item.author.empty() ? nullptr : item.author.c_str());
  j.markup(",\"date\":").string(item.date).markup(",\"message\":").string(item.message);
  j.markup(",\"changed_paths\":[");
  for (std::size_t i = 0; i < item.changes.size(); i++) {
    const auto &[path, change] = item.changes[i];
    if (i) j.markup(",");
    j.markup("{\"path\":").string(path).markup(",\"action\":");
    j.string(action_word(change.change_kind));
    j.markup_if(change.node_kind == ostrel_node_dir, ",\"kind\":\"dir\"", ",\"kind\":\"file\"");
    j.markup(",\"copyfrom_path\":")
        .string_or_null(item.copy_paths[i].empty() ? nullptr : item.copy_paths[i].c_str());
    j.markup(",\"copyfrom_revision\":").number(change.copyfrom_rev).markup("}");
  }
  j.markup("]}");
}

void html_changes(HtmlWriter &h, const ReadContext &ctx, const LogItem &item) {
  h.markup("<table class=\"changes\"><tbody>");
  for (std::size_t i = 0; i < item.changes.size(); i++) {
    const auto &[path, change] = item.changes[i];
    bool dir = change.node_kind == ostrel_node_dir;
    std::string shown = dir && path != "/" ? path + "/" : path;
    h.markup("<tr><td>").text(action_word(change.change_kind)).markup("</td><td>");
    if (change.change_kind != ostrel_fs_path_change_delete) {
      h.markup("<a class=\"after\" href=\"");
      link_path(h, ctx, shown);
      rev_query(h, item.rev);
      h.markup("\">").text(shown).markup("</a>");
    } else {
      h.text(shown);
    }
    h.markup("</td><td>");
    // The other side: the copy source, else the path one revision back.
    if (!item.copy_paths[i].empty()) {
      h.markup("<a class=\"before\" href=\"");
      link_path(h, ctx, item.copy_paths[i] + (dir ? "/" : ""));
      rev_query(h, change.copyfrom_rev);
      h.markup("\">from ").text(item.copy_paths[i]).markup("@").number(change.copyfrom_rev);
      h.markup("</a>");
    } else if (change.change_kind != ostrel_fs_path_change_add && item.rev > 0) {
      h.markup("<a class=\"before\" href=\"");
      link_path(h, ctx, shown);
      rev_query(h, item.rev - 1);
      h.markup("\">before (r").number(item.rev - 1).markup(")</a>");
    }
    h.markup("</td></tr>");
  }
  h.markup("</tbody></table>");
}

void html_log_head(HtmlWriter &h, const ReadContext &ctx, const LogItem &item) {
  h.markup("<h2 class=\"rev\"><a href=\"");
  link_path(h, ctx, "/");
  h.markup("?revision=").number(item.rev).markup("\">r").number(item.rev).markup("</a> ");
  h.markup("<span class=\"muted\">").text(item.author.empty() ? "(no author)" : item.author);
  h.markup(", ").text(short_date(item.date.c_str())).markup("</span></h2>");
  h.markup("<div class=\"msg\">").text(item.message).markup("</div>");
}

MHD_Result log_page(ReadContext &ctx, ostrel_revnum rev, Format format) {
  ostrel_revnum from = rev;
  if (ostrel_error *err = peg_revision(&from, ctx, "from")) return send_web_error(ctx, err);
  if (from < 0) from = rev < 0 ? ctx.youngest : rev;
  long long limit = kLogPage;
  if (ctx.has_arg("limit") && !parse_query_number(ctx.arg("limit"), 1, 1000, &limit))
    return send_web_error(ctx, ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                                   "A log page's limit is 1 to 1000"));
  // The path must exist where the log starts, as for any read.
  auto ignore = [](void *, const char *, const ostrel_ra_dirent *, apr_pool_t *) {
    return OSTREL_NO_ERROR;
  };
  std::vector<LogItem> items;
  const char *path = ctx.route->fs_path.c_str();
  ostrel_error *err = ostrel_ra_list(ctx.session, path, from, ostrel_ra_depth_empty, ignore,
                                     nullptr, nullptr, ctx.pool);
  // One more than a page: whether an older page exists.
  if (!err) err = collect_log(items, ctx, path, from, 0, static_cast<int>(limit + 1));
  if (err) return send_web_error(ctx, err);
  ostrel_revnum older = -1;
  if (items.size() > static_cast<std::size_t>(limit)) {
    older = items.back().rev;
    items.pop_back();
  }
  bool fixed = rev >= 0 || ctx.has_arg("from");
  std::string etag =
      fixed ? make_etag("log " + std::string(format == Format::json ? "json " : "html ") +
                        ctx.fs_path() + " " + std::to_string(from) + " " + std::to_string(limit) +
                        " " + (ctx.route->identity->anonymous ? "-" : ctx.route->identity->user))
            : "";
  if (fixed && not_modified(ctx, etag)) return send_not_modified(ctx, fixed, etag);
  if (format == Format::json) {
    JsonWriter j;
    j.markup("{\"path\":").string(ctx.fs_path()).markup(",\"entries\":[");
    for (std::size_t i = 0; i < items.size(); i++) {
      if (i) j.markup(",");
      json_log_item(j, items[i]);
    }
    j.markup("],\"older\":");
    if (older >= 0)
      j.number(older);
    else
      j.markup("null");
    j.markup("}\n");
    return send_json(ctx, j, fixed, etag);
  }
  HtmlWriter h;
  begin_page(h, ctx, "Log of " + ctx.route->repos + ctx.fs_path(), rev);
  h.markup("<h1>Log</h1>");
  for (const LogItem &item : items) {
    h.markup("<section class=\"entry\">");
    html_log_head(h, ctx, item);
    html_changes(h, ctx, item);
    h.markup("</section>");
  }
  if (items.empty()) h.markup("<p>No revisions.</p>");
  if (older >= 0) {
    h.markup("<p class=\"actions\"><a id=\"older\" href=\"");
    link_path(h, ctx, ctx.fs_path());
    h.markup("?log&amp;from=").number(older);
    if (limit != kLogPage) h.markup("&amp;limit=").number(limit);
    rev_query(h, rev, false);
    h.markup("\">Older revisions</a></p>");
  }
  end_page(h);
  return send_html(ctx, MHD_HTTP_OK, h, fixed, etag);
}

MHD_Result revision_page(ReadContext &ctx, Format format) {
  ostrel_revnum rev = -1;
  if (ostrel_error *err = peg_revision(&rev, ctx, "revision")) return send_web_error(ctx, err);
  if (rev < 0) rev = ctx.youngest;
  std::vector<LogItem> items;
  if (ostrel_error *err = collect_log(items, ctx, "", rev, rev, 1))
    return send_web_error(ctx, err);
  if (items.empty())
    return send_web_error(ctx, ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                                    "Revision %ld changed nothing you may read",
                                                    static_cast<long>(rev)));
  std::string etag =
      make_etag("revision " + std::string(format == Format::json ? "json " : "html ") +
                std::to_string(rev) + " " +
                (ctx.route->identity->anonymous ? "-" : ctx.route->identity->user));
  if (not_modified(ctx, etag)) return send_not_modified(ctx, true, etag);
  if (format == Format::json) {
    JsonWriter j;
    json_log_item(j, items[0]);
    j.markup("\n");
    return send_json(ctx, j, true, etag);
  }
  HtmlWriter h;
  begin_page(h, ctx, "Revision " + std::to_string(rev), rev);
  h.markup("<h1>Revision ").number(rev).markup("</h1>");
  html_log_head(h, ctx, items[0]);
  h.markup("<h2>Changed paths</h2>");
  html_changes(h, ctx, items[0]);
  end_page(h);
  return send_html(ctx, MHD_HTTP_OK, h, true, etag);
}

}  // namespace

MHD_Result send_web_error(ReadContext &ctx, ostrel_error *err) {
  unsigned status = status_for(err);
  std::string message = message_of(err, ctx);
  ostrel_error_clear(err);
  if (asked_format(ctx) == Format::json) {
    JsonWriter j;
    j.markup("{\"error\":").string(message).markup("}\n");
    return send_whole(ctx, status, std::move(j.str()), "application/json");
  }
  if (!accept_has(ctx, "text/html")) return send_whole(ctx, status, message + "\n", "text/plain; charset=utf-8");
  HtmlWriter h;
  h.markup("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>")
      .number(status)
      .markup("</title><style>")
      .markup(kStyle)
      .markup("</style></head><body><main><h1>")
      .number(status)
      .markup("</h1><p class=\"error\">")
      .text(message)
      .markup("</p></main></body></html>\n");
  return send_whole(ctx, status, std::move(h.str()), "text/html; charset=utf-8");
}

MHD_Result answer_web_view(ReadContext &ctx) {
  Format format = asked_format(ctx);
  ostrel_revnum rev = -1;
  if (ostrel_error *err = peg_revision(&rev, ctx, "r")) return send_web_error(ctx, err);
  if (ctx.has_arg("revision")) return revision_page(ctx, format == Format::raw ? Format::html : format);
  if (ctx.has_arg("log")) return log_page(ctx, rev, format == Format::raw ? Format::html : format);
  ostrel_ra_dirent node{};
  ostrel_revnum fetched = rev;
  std::string author, date;
  struct Node {
    ostrel_ra_dirent *d;
    std::string *author, *date;
  } baton{&node, &author, &date};
  auto note = [](void *b, const char *, const ostrel_ra_dirent *d, apr_pool_t *) {
    auto *n = static_cast<Node *>(b);
    *n->d = *d;
    *n->author = d->last_author ? d->last_author : "";
    *n->date = d->time ? d->time : "";
    return OSTREL_NO_ERROR;
  };
  if (ostrel_error *err = ostrel_ra_list(ctx.session, ctx.route->fs_path.c_str(), rev,
                                         ostrel_ra_depth_empty, note, &baton, &fetched, ctx.pool))
    return send_web_error(ctx, err);
  node.last_author = author.empty() ? nullptr : author.c_str();
  node.time = date.empty() ? nullptr : date.c_str();
  if (node.kind == ostrel_node_dir)
    return directory_page(ctx, rev, fetched, format == Format::raw ? Format::html : format);
  // Tools that do not ask for a page get the file itself.
  if (format == Format::raw || (format == Format::html && !accept_has(ctx, "text/html")))
    return raw_file(ctx, rev, fetched, node);
  return file_page(ctx, rev, fetched, node, format);
}

}  // namespace ostreld
