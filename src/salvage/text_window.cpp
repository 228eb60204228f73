#include "salvage/text_window.h"

#include <algorithm>
#include <cstring>

#include "encoding/detect.h"

namespace tidewrack {

namespace {

// Input bytes read and decoded at a time.
constexpr std::size_t RAW_BLOCK = std::size_t{1} << 20;

} // namespace

Result<TextWindow> TextWindow::open(const std::string &path,
                                    const std::optional<InputEncoding> &encoding, StopPoll stop) {
  Result<InputFile> opened = InputFile::open(path, stop);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  TextWindow window(std::move(opened.value()));
  if (encoding) {
    // The detection reads a head of the same length whatever the block size.
    window.raw_.resize(DETECTION_HEAD);
    Result<std::size_t> got = window.file_.read_fully(window.raw_.data(), DETECTION_HEAD);
    if (!got.ok()) {
      return std::move(got.error());
    }
    window.raw_.resize(got.value());
    window.raw_ended_ = got.value() < DETECTION_HEAD;
    const Detection detection = resolve_encoding(*encoding, window.raw_);
    window.raw_.erase(0, detection.bom_length);
    window.encoding_ = detection.encoding;
    window.decoder_.emplace(detection.encoding);
  }
  return window;
}

Result<std::monostate> TextWindow::read_until(std::size_t count) {
  return decoder_ ? read_decoded(count) : read_bytes(count);
}

std::string_view TextWindow::encoding_name() const {
  if (!decoder_) {
    return {};
  }
  // Auto logs nothing but bytes read as cp1252.
  return encoding_ == Encoding::Utf8Auto && changed_ ? "utf-8+cp1252"
                                                     : tidewrack::encoding_name(encoding_);
}

char *TextWindow::make_room(std::size_t count) {
  if (capacity_ - end_ < count && begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (capacity_ - end_ < count) {
    // Left unfilled: only bytes read or decoded into it count.
    const std::size_t capacity = std::max(capacity_ * 2, end_ + count);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (end_ > 0) {
      std::memcpy(grown.get(), buffer_.get(), end_);
    }
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  return buffer_.get() + end_;
}

Result<std::monostate> TextWindow::read_bytes(std::size_t count) {
  while (!ended_ && end_ - begin_ < count) {
    // The rest of a file of known size comes in one read when all is wanted.
    const std::uint64_t rest = file_.expected_size() > file_.bytes_read()
                                   ? file_.expected_size() - file_.bytes_read() + 1
                                   : 0;
    const std::size_t wanted =
        std::min<std::size_t>(count - (end_ - begin_), std::max<std::uint64_t>(rest, RAW_BLOCK));
    Result<std::size_t> got = file_.read_fully(make_room(wanted), wanted);
    if (!got.ok()) {
      return std::move(got.error());
    }
    end_ += got.value();
    ended_ = got.value() < wanted;
  }
  return std::monostate{};
}

Result<std::monostate> TextWindow::read_decoded(std::size_t count) {
  while (!ended_ && end_ - begin_ < count) {
    const std::size_t wanted = std::clamp<std::size_t>(count - (end_ - begin_), 1, RAW_BLOCK);
    if (raw_used_ == raw_.size() && !raw_ended_) {
      raw_.resize(wanted);
      Result<std::size_t> got = file_.read_fully(raw_.data(), wanted);
      if (!got.ok()) {
        return std::move(got.error());
      }
      raw_.resize(got.value());
      raw_used_ = 0;
      raw_ended_ = got.value() < wanted;
    }
    const std::string_view piece = std::string_view(raw_).substr(raw_used_, wanted);
    raw_used_ += piece.size();
    const bool last = raw_ended_ && raw_used_ == raw_.size();
    decoded_.clear();
    const std::string_view text = decoder_->decode(piece, last, decoded_) ? piece : decoded_;
    if (!text.empty()) {
      std::memcpy(make_room(text.size()), text.data(), text.size());
      end_ += text.size();
    }
    ended_ = last;
    changed_ = changed_ || !decoder_->changes().pending().empty();
  }
  return std::monostate{};
}

} // namespace tidewrack
