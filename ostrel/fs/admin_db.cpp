// Administration through a metadata connection of its own: revision
// property changes on committed revisions.

#include "admin_db.h"

#include <memory>
#include <optional>
#include <string>

#include "meta.h"
#include "ostrel_fs.h"
#include "sqlite/sqlite_meta.h"

using namespace ostrel::fs;

extern "C" {

ostrel_error *ostrel_fs__set_rev_prop(const char *db_path, int busy_timeout_ms, ostrel_revnum rev,
                                      const char *name, const ostrel_string *value) {
  std::unique_ptr<MetaStore> meta;
  OSTREL_ERR(open_sqlite_meta(db_path, false, busy_timeout_ms, "", &meta));
  std::unique_ptr<Writer> writer;
  OSTREL_ERR(meta->begin_writer(true, &writer));
  std::optional<std::string> v;
  if (value) v.emplace(value->data, value->len);
  ostrel_error *err = writer->set_revision_prop(rev, name, v);
  if (!err) err = fault_point("revprop-written");
  if (err) {
    writer->rollback();
    return err;
  }
  return writer->commit();
}

}  // extern "C"
