#include "kelvane/core/schema.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace kelvane {

namespace {

// Range of decimal exponents written in positional notation; outside it, exponent notation.
struct PlainRange {
  int min_exponent;
  int max_exponent;
};
constexpr PlainRange kPlainRangeF64{-5, 15};
constexpr PlainRange kPlainRangeF32{-6, 12};

// Shortest round-trip digits of a finite value, placed by the positional/exponent rule.
template <typename F>
void append_float(std::string& out, F value, PlainRange range) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // Scientific form gives the shortest digits with a single leading digit: "-d.ddde+XX".
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  (void)ec;  // 64 characters always suffice for a float or double
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  if (!text.empty() && text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int k = 0;
  const std::string_view exp_text = text.substr(e_pos + 1);
  const char* exp_begin = exp_text.data() + (exp_text.front() == '+' ? 1 : 0);
  std::from_chars(exp_begin, exp_text.data() + exp_text.size(), k);
  if (k >= range.min_exponent && k <= range.max_exponent) {
    if (k >= 0) {
      const std::size_t int_len = static_cast<std::size_t>(k) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_len);
        out.push_back('.');
        out.append(digits, int_len);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-k - 1), '0');
      out += digits;
    }
    return;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(k < 0 ? '-' : '+');
  out += std::to_string(std::abs(k));
}

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

// Writes members of one object, one per line, at a fixed indentation.
class ObjectWriter {
 public:
  ObjectWriter(std::string& out, std::size_t indent) : out_(out), indent_(indent) { out_.push_back('{'); }

  // Starts a member and leaves the value to the caller.
  std::string& key(std::string_view name) {
    out_ += first_ ? "\n" : ",\n";
    first_ = false;
    out_.append(indent_ + 2, ' ');
    append_string(out_, name);
    out_ += ": ";
    return out_;
  }
  void string(std::string_view name, std::string_view value) { append_string(key(name), value); }
  void integer(std::string_view name, std::uint64_t value) { key(name) += std::to_string(value); }

  void close() {
    if (!first_) {
      out_.push_back('\n');
      out_.append(indent_, ' ');
    }
    out_.push_back('}');
  }

 private:
  std::string& out_;
  std::size_t indent_;
  bool first_ = true;
};

// Writes an array whose elements the callback writes, one per line; "[]" when empty.
template <typename Range, typename WriteElement>
void append_array(std::string& out, std::size_t indent, const Range& items, WriteElement write_element) {
  if (std::empty(items)) {
    out += "[]";
    return;
  }
  out.push_back('[');
  bool first = true;
  for (const auto& item : items) {
    out += first ? "\n" : ",\n";
    first = false;
    out.append(indent + 2, ' ');
    write_element(item, indent + 2);
  }
  out.push_back('\n');
  out.append(indent, ' ');
  out.push_back(']');
}

void append_stabilizer(std::string& out, const StabilizerEntry& s, std::size_t indent) {
  ObjectWriter obj(out, indent);
  obj.integer("id", s.id);
  obj.string("type", s.type == StabilizerType::X ? "X" : "Z");
  append_array(obj.key("qubits"), indent + 2, s.qubits,
               [&out](std::uint16_t q, std::size_t) { out += std::to_string(q); });
  obj.close();
}

}  // namespace

std::string schema_to_json(const HardwareSchema& schema) {
  std::string out;
  out.reserve(512 + 64 * schema.stabilizers.size());
  ObjectWriter obj(out, 0);
  obj.string("schema_id", uuid_to_string(schema.schema_id));
  obj.string("version", schema.version);
  obj.string("name", schema.name);
  obj.string("description", schema.description);
  obj.string("code_type", schema.code_type);
  obj.integer("distance", schema.distance);
  obj.integer("qubit_count", schema.qubit_count);
  obj.integer("ancilla_count", schema.ancilla_count);
  append_array(obj.key("stabilizers"), 2, schema.stabilizers,
               [&out](const StabilizerEntry& s, std::size_t indent) { append_stabilizer(out, s, indent); });
  append_float(obj.key("measurement_cycle_us"), schema.measurement_cycle_us, kPlainRangeF32);
  obj.string("ancilla_layout", schema.ancilla_layout);
  if (schema.ldpc_hz_matrix) obj.string("ldpc_hz_matrix", *schema.ldpc_hz_matrix);
  if (schema.ldpc_hx_matrix) obj.string("ldpc_hx_matrix", *schema.ldpc_hx_matrix);
  if (schema.logical_z_matrix) obj.string("logical_z_matrix", *schema.logical_z_matrix);
  if (schema.logical_x_matrix) obj.string("logical_x_matrix", *schema.logical_x_matrix);
  if (schema.encoding_rate) append_float(obj.key("encoding_rate"), *schema.encoding_rate, kPlainRangeF64);
  if (schema.dem_path) obj.string("dem_path", *schema.dem_path);
  obj.close();
  return out;
}

std::size_t UuidHash::operator()(const Uuid& id) const noexcept {
  // FNV-1a over the 16 bytes.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::uint8_t b : id) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  return static_cast<std::size_t>(h);
}

void SchemaRegistry::add(HardwareSchema schema) {
  const Uuid id = schema.schema_id;
  schemas_.insert_or_assign(id, std::move(schema));
}

Result<const HardwareSchema*> SchemaRegistry::get(const Uuid& id) const {
  if (schemas_.empty()) return fail(errors::SchemaNotFound{id});
  const auto it = schemas_.find(id);
  if (it == schemas_.end()) return fail(errors::SchemaNotFound{id});
  return &it->second;
}

}  // namespace kelvane
