// Sending a text as a sequence of windows.
//
// A text goes out one chunk at a time: the sender holds one window's worth of
// bytes, whatever the size of the text, and the receiver writes each window
// through before it asks for the next.

#include <openssl/evp.h>

#include <memory>
#include <utility>

#include "ostrel_delta.h"

namespace {

// The window buffer of one send.  Each thread keeps one spare buffer that a
// send borrows and gives back, so a text of a few bytes costs no allocation of
// a whole window; a send that finds the spare lent out (a handler that sends
// another text) allocates its own.
class WindowBuffer {
 public:
  WindowBuffer()
      : data_(spare_ ? std::move(spare_)
                     : std::make_unique_for_overwrite<char[]>(OSTREL_STREAM_CHUNK_SIZE)) {}
  ~WindowBuffer() {
    if (!spare_) spare_ = std::move(data_);
  }
  WindowBuffer(const WindowBuffer &) = delete;
  WindowBuffer &operator=(const WindowBuffer &) = delete;
  char *get() const { return data_.get(); }

 private:
  static thread_local std::unique_ptr<char[]> spare_;
  std::unique_ptr<char[]> data_;
};

thread_local std::unique_ptr<char[]> WindowBuffer::spare_;

// SHA-256, fetched from the provider once rather than at every digest set up.
const EVP_MD *sha256() {
  static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace

extern "C" ostrel_error *ostrel_txdelta_send_stream(ostrel_stream *stream,
                                                    ostrel_txdelta_window_handler handler,
                                                    void *handler_baton, unsigned char *digest,
                                                    apr_pool_t * /*pool*/) {
  WindowBuffer buffer;
  // The text is hashed only for a caller that asks for its digest: the
  // receiver (the storage) hashes what it stores anyway.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha(digest ? EVP_MD_CTX_new() : nullptr,
                                                             EVP_MD_CTX_free);
  if (digest && (!sha || !sha256() || EVP_DigestInit_ex(sha.get(), sha256(), nullptr) != 1))
    OSTREL_ERR_MALFUNCTION("cannot set up SHA-256");

  ostrel_error *err = OSTREL_NO_ERROR;
  ostrel_txdelta_window window{0, buffer.get(), 0};
  for (;;) {
    apr_size_t len = OSTREL_STREAM_CHUNK_SIZE;
    err = ostrel_stream_read_full(stream, buffer.get(), &len);
    if (err || len == 0) break;
    if (sha) EVP_DigestUpdate(sha.get(), buffer.get(), len);
    window.len = len;
    err = handler(&window, handler_baton);
    if (err) break;
    window.offset += static_cast<ostrel_filesize>(len);
    if (len < OSTREL_STREAM_CHUNK_SIZE) break;
  }
  if (!err) err = handler(nullptr, handler_baton);

  err = ostrel_error_compose_create(err, ostrel_stream_close(stream));
  if (!err && digest) EVP_DigestFinal_ex(sha.get(), digest, nullptr);
  return err;
}
