#include "salvage/csv_format.h"

#include "parser/utf8.h"

namespace tidewrack {

namespace {

void append_doubling(std::string &line, std::string_view text, std::string_view quote) {
  std::size_t from = 0;
  for (std::size_t at = text.find(quote); at != std::string_view::npos;
       at = text.find(quote, from)) {
    line.append(text.substr(from, at + quote.size() - from));
    line.append(quote);
    from = at + quote.size();
  }
  line.append(text.substr(from));
}

} // namespace

CleanRowRenderer::CleanRowRenderer(std::uint8_t delimiter, std::uint8_t quote_char)
    : delimiter_(byte_as_utf8(delimiter)), quote_(byte_as_utf8(quote_char)),
      single_bytes_(delimiter < 0x80 && quote_char < 0x80) {
  special_[delimiter] = special_[quote_char] = special_['\n'] = special_['\r'] = true;
}

bool CleanRowRenderer::needs_quotes(std::string_view field) const {
  if (single_bytes_) {
    for (char byte : field) {
      if (special_[static_cast<unsigned char>(byte)]) {
        return true;
      }
    }
    return false;
  }
  return field.find(quote_) != std::string_view::npos ||
         field.find(delimiter_) != std::string_view::npos ||
         field.find_first_of("\n\r") != std::string_view::npos;
}

void CleanRowRenderer::append_doubling_quotes(std::string &line, std::string_view field) const {
  append_doubling(line, field, quote_);
}

void CleanRowRenderer::render_field(std::string &line, std::string_view field) const {
  if (!needs_quotes(field)) {
    line.append(field);
    return;
  }
  line.append(quote_);
  append_doubling_quotes(line, field);
  line.append(quote_);
}

void CleanRowRenderer::render(std::string &line, const Record &record, const RowShape &shape,
                              std::string_view merge_separator) {
  bool first = true;
  auto separate = [&] {
    if (!first) {
      line.append(delimiter_);
    }
    first = false;
  };
  for (std::size_t i = 0; i < shape.kept; ++i) {
    separate();
    render_field(line, record.field(i));
  }
  if (shape.merge_rest) {
    merged_.clear();
    for (std::size_t i = shape.kept; i < record.size(); ++i) {
      if (i > shape.kept) {
        merged_.append(merge_separator);
      }
      merged_.append(record.field(i));
    }
    separate();
    render_field(line, merged_);
  }
  if (shape.padding > 0) {
    // Empty fields are written as nothing, so padding is delimiters alone (a
    // padded row always keeps at least one field of its own).
    line.reserve(line.size() + shape.padding * delimiter_.size() + 1);
    for (std::uint64_t i = 0; i < shape.padding; ++i) {
      line.append(delimiter_);
    }
  }
  line.push_back('\n');
}

void render_quarantine_line(std::string &line, const QuarantineRecord &record,
                            std::string_view delimiter_text) {
  line.append(std::to_string(record.line));
  line.append(",\"");
  append_doubling(line, record.reason, "\"");
  line.append("\",\"");
  for (std::size_t i = 0; i < record.fields.size(); ++i) {
    if (i > 0) {
      append_doubling(line, delimiter_text, "\"");
    }
    append_doubling(line, record.fields[i], "\"");
  }
  line.append("\"\n");
}

} // namespace tidewrack
