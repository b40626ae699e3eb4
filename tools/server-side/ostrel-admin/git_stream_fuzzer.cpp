// libFuzzer target: the git export stream reader on arbitrary bytes, with a
// sink that reads every data block.  It must return an error or success,
// never crash, hang or allocate by what a length field claims (messages
// aside, which are capped).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "git_stream.h"
#include "ostrel_pools.h"

namespace {

class Drain : public ostrel_git::Sink {
 public:
  ostrel_error *blob(uint64_t, ostrel_git::Data &data) override { return drain(data); }
  ostrel_error *commit(const ostrel_git::CommitHead &) override { return nullptr; }
  ostrel_error *modify(ostrel_git::FileMode, uint64_t, ostrel_git::Data *data,
                       const std::string &) override {
    return data ? drain(*data) : nullptr;
  }
  ostrel_error *remove(const std::string &) override { return nullptr; }
  ostrel_error *copy(const std::string &, const std::string &, bool) override { return nullptr; }
  ostrel_error *delete_all() override { return nullptr; }
  ostrel_error *commit_end() override { return nullptr; }
  ostrel_error *reset(const std::string &, uint64_t) override { return nullptr; }
  ostrel_error *tag(const std::string &, uint64_t, const ostrel_git::Ident &,
                    const std::string &) override {
    return nullptr;
  }

 private:
  static ostrel_error *drain(ostrel_git::Data &data) {
    char buf[512];
    size_t got;
    do {
      OSTREL_ERR(data.read(buf, sizeof buf, &got));
    } while (got);
    return nullptr;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    apr_initialize();
    return true;
  }();
  (void)ready;
  size_t at = 0;
  // Small reads, so that lines and blocks cross buffer ends.
  ostrel_git::ReadFn read = [&](char *buf, size_t len, size_t *got) -> ostrel_error * {
    size_t n = std::min({len, size - at, size_t{7}});
    std::memcpy(buf, data + at, n);
    at += n;
    *got = n;
    return nullptr;
  };
  Drain sink;
  ostrel_error_clear(ostrel_git::parse_stream(read, sink));
  return 0;
}
