#include "platform/flutter/standard_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace flutter {
namespace {

enum Tag : uint8_t {
  kNull = 0x00,
  kTrue = 0x01,
  kFalse = 0x02,
  kInt32 = 0x03,
  kInt64 = 0x04,
  kLargeInt = 0x05,
  kFloat64 = 0x06,
  kString = 0x07,
  kUint8List = 0x08,
  kInt32List = 0x09,
  kInt64List = 0x0a,
  kFloat64List = 0x0b,
  kList = 0x0c,
  kMap = 0x0d,
  kFloat32List = 0x0e,
};

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian; this code copies numbers as they are in memory");

// Map keys are compared by value: a 32-bit and a 64-bit integer of the same value are one key
// (the width on the wire is the sender's storage choice, not part of the value), inside lists
// and maps too. Integers and floats stay apart (1 is not 1.0), as do strings and numbers; floats
// compare as numbers (0.0 and -0.0 are one key, a NaN equals no key). Lists and maps compare
// entry by entry in order; the typed lists compare element-wise within their own type.
std::optional<int64_t> IntegerKey(const Value& v) {
  if (const auto* i = v.GetIf<int32_t>()) return *i;
  if (const auto* i = v.GetIf<int64_t>()) return *i;
  return std::nullopt;
}

bool SameKey(const Value& a, const Value& b) {
  auto ia = IntegerKey(a), ib = IntegerKey(b);
  if (ia || ib) return ia == ib;
  if (a.index() != b.index()) return false;
  if (const auto* x = a.GetIf<ValueList>()) {
    const auto& y = *b.GetIf<ValueList>();
    if (x->size() != y.size()) return false;
    for (size_t i = 0; i < x->size(); ++i) {
      if (!SameKey((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (const auto* x = a.GetIf<ValueMap>()) {
    const auto& y = *b.GetIf<ValueMap>();
    if (x->size() != y.size()) return false;
    for (size_t i = 0; i < x->size(); ++i) {
      if (!SameKey((*x)[i].first, y[i].first) || !SameKey((*x)[i].second, y[i].second)) {
        return false;
      }
    }
    return true;
  }
  return a == b;  // the same alternative: null, bool, float, string or a typed list
}

size_t Mix(size_t h, size_t v) {
  return h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

// Consistent with SameKey: keys it calls equal hash alike.
size_t KeyHash(const Value& v) {
  if (auto i = IntegerKey(v)) return Mix(3, std::hash<int64_t>{}(*i));
  size_t h = v.index();
  if (const auto* b = v.GetIf<bool>()) return Mix(h, *b);
  if (const auto* d = v.GetIf<double>()) return Mix(h, *d == 0 ? 0 : std::hash<double>{}(*d));
  if (const auto* s = v.GetIf<std::string>()) return Mix(h, std::hash<std::string>{}(*s));
  if (const auto* list = v.GetIf<ValueList>()) {
    for (const auto& e : *list) h = Mix(h, KeyHash(e));
    return h;
  }
  if (const auto* map = v.GetIf<ValueMap>()) {
    for (const auto& [k, e] : *map) h = Mix(Mix(h, KeyHash(k)), KeyHash(e));
    return h;
  }
  auto bytes = [&h](const auto* typed) {
    if (typed == nullptr) return false;
    std::string_view raw(reinterpret_cast<const char*>(typed->data()),
                         typed->size() * sizeof(typed->front()));
    h = Mix(h, std::hash<std::string_view>{}(raw));
    return true;
  };
  bytes(v.GetIf<std::vector<uint8_t>>()) || bytes(v.GetIf<std::vector<int32_t>>()) ||
      bytes(v.GetIf<std::vector<int64_t>>()) || bytes(v.GetIf<std::vector<double>>()) ||
      bytes(v.GetIf<std::vector<float>>());
  return h;  // null
}

class Writer {
 public:
  explicit Writer(ByteBuffer& out) : out_(out) {}

  void Byte(uint8_t b) { out_.push_back(b); }
  template <typename T>
  void Raw(const T& v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out_.insert(out_.end(), p, p + sizeof(T));
  }
  void Bytes(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + n);
  }
  void Align(size_t a) {
    while (out_.size() % a != 0) out_.push_back(0);
  }
  void Size(size_t n) {
    if (n < 254) {
      Byte(static_cast<uint8_t>(n));
    } else if (n <= 0xffff) {
      Byte(254);
      Raw(static_cast<uint16_t>(n));
    } else {
      Byte(255);
      Raw(static_cast<uint32_t>(n));
    }
  }
  template <typename T>
  void TypedList(uint8_t tag, const std::vector<T>& v) {
    Byte(tag);
    Size(v.size());
    Align(sizeof(T));  // written even for an empty list
    Bytes(v.data(), v.size() * sizeof(T));
  }

  void Write(const Value& value) {
    std::visit([this](const auto& v) { WriteAlt(v); }, static_cast<const ValueVariant&>(value));
  }

 private:
  void WriteAlt(std::monostate) { Byte(kNull); }
  void WriteAlt(bool b) { Byte(b ? kTrue : kFalse); }
  void WriteAlt(int32_t v) {
    Byte(kInt32);
    Raw(v);
  }
  void WriteAlt(int64_t v) {
    Byte(kInt64);
    Raw(v);
  }
  void WriteAlt(double v) {
    Byte(kFloat64);
    Align(8);
    Raw(v);
  }
  void WriteAlt(const std::string& s) {
    Byte(kString);
    Size(s.size());
    Bytes(s.data(), s.size());
  }
  void WriteAlt(const std::vector<uint8_t>& v) { TypedList(kUint8List, v); }
  void WriteAlt(const std::vector<int32_t>& v) { TypedList(kInt32List, v); }
  void WriteAlt(const std::vector<int64_t>& v) { TypedList(kInt64List, v); }
  void WriteAlt(const std::vector<double>& v) { TypedList(kFloat64List, v); }
  void WriteAlt(const std::vector<float>& v) { TypedList(kFloat32List, v); }
  void WriteAlt(const ValueList& list) {
    Byte(kList);
    Size(list.size());
    for (const auto& v : list) Write(v);
  }
  void WriteAlt(const ValueMap& map) {
    Byte(kMap);
    Size(map.size());
    for (const auto& [k, v] : map) {
      Write(k);
      Write(v);
    }
  }

  ByteBuffer& out_;
};

bool IsValidUtf8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xe0) == 0xc0) {
      len = 2;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      return false;
    }
    i += len;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes)
      : data_(bytes), budget_(kDecodedBytesPerInputByte * bytes.size() + kDecodedBytesSlack) {}

  bool AtEnd() const { return pos_ == data_.size(); }
  size_t Remaining() const { return data_.size() - pos_; }
  const std::string& error() const { return error_; }

  bool Fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at offset " + std::to_string(pos_);
    return false;
  }

  // Charges `bytes` of decoded memory (or work) against the message's budget.
  bool Charge(uint64_t bytes) {
    if (bytes > budget_) return Fail("decoded size over the bound for a message of this length");
    budget_ -= bytes;
    return true;
  }

  bool Byte(uint8_t& b) {
    if (Remaining() < 1) return Fail("unexpected end of data");
    b = data_[pos_++];
    return true;
  }
  template <typename T>
  bool Raw(T& v) {
    if (Remaining() < sizeof(T)) return Fail("value cut short");
    std::memcpy(&v, data_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool Align(size_t a) {
    size_t pad = (a - pos_ % a) % a;
    if (Remaining() < pad) return Fail("padding cut short");
    pos_ += pad;
    return true;
  }
  bool Size(uint64_t& n) {
    uint8_t b = 0;
    if (!Byte(b)) return false;
    if (b < 254) {
      n = b;
    } else if (b == 254) {
      uint16_t v = 0;
      if (!Raw(v)) return false;
      n = v;
    } else {
      uint32_t v = 0;
      if (!Raw(v)) return false;
      n = v;
    }
    return true;
  }
  bool String(std::string& out) {
    uint64_t n = 0;
    if (!Size(n)) return false;
    if (n > Remaining()) return Fail("string longer than the data");
    const uint8_t* p = data_.data() + pos_;
    if (!IsValidUtf8(p, n)) return Fail("malformed UTF-8");
    if (!Charge(n)) return false;
    out.assign(reinterpret_cast<const char*>(p), n);
    pos_ += n;
    return true;
  }
  template <typename T>
  bool TypedList(std::vector<T>& out) {
    uint64_t n = 0;
    if (!Size(n)) return false;
    if (!Align(sizeof(T))) return false;
    // 64-bit arithmetic: n < 2^32 and sizeof(T) <= 8, so the product cannot overflow.
    if (n * sizeof(T) > Remaining()) return Fail("typed list longer than the data");
    if (!Charge(n * sizeof(T))) return false;
    out.resize(n);
    // An empty vector's data() may be null, which memcpy must not be given even for 0 bytes.
    if (n > 0) std::memcpy(out.data(), data_.data() + pos_, n * sizeof(T));
    pos_ += n * sizeof(T);
    return true;
  }

  bool Read(Value& out, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    uint8_t tag = 0;
    if (!Byte(tag)) return false;
    switch (tag) {
      case kNull:
        out = std::monostate{};
        return true;
      case kTrue:
        out = true;
        return true;
      case kFalse:
        out = false;
        return true;
      case kInt32: {
        int32_t v = 0;
        if (!Raw(v)) return false;
        out = v;
        return true;
      }
      case kInt64: {
        int64_t v = 0;
        if (!Raw(v)) return false;
        out = v;
        return true;
      }
      case kFloat64: {
        double v = 0;
        if (!Align(8) || !Raw(v)) return false;
        out = v;
        return true;
      }
      case kLargeInt:  // legacy big integer: its hex text is read as a string
      case kString: {
        std::string s;
        if (!String(s)) return false;
        out = std::move(s);
        return true;
      }
      case kUint8List:
        return ReadTyped<uint8_t>(out);
      case kInt32List:
        return ReadTyped<int32_t>(out);
      case kInt64List:
        return ReadTyped<int64_t>(out);
      case kFloat64List:
        return ReadTyped<double>(out);
      case kFloat32List:
        return ReadTyped<float>(out);
      case kList: {
        uint64_t n = 0;
        if (!Size(n)) return false;
        if (n > Remaining()) return Fail("list longer than the data");
        if (!Charge(n * sizeof(Value))) return false;
        ValueList list(n);
        for (auto& v : list) {
          if (!Read(v, depth + 1)) return false;
        }
        out = std::move(list);
        return true;
      }
      case kMap: {
        uint64_t n = 0;
        if (!Size(n)) return false;
        if (n * 2 > Remaining()) return Fail("map longer than the data");
        if (!Charge(n * sizeof(ValueMap::value_type))) return false;
        ValueMap map;
        map.reserve(n);
        // A repeated key (by value, see SameKey) keeps its first position and takes the last
        // value. Keys are indexed by a hash of their value, so a hostile map with millions of
        // entries costs linear time, not quadratic.
        std::unordered_multimap<size_t, size_t> index;
        for (uint64_t i = 0; i < n; ++i) {
          Value k, v;
          const size_t keyStart = pos_;
          if (!Read(k, depth + 1)) return false;
          const size_t keyBytes = pos_ - keyStart;
          if (!Read(v, depth + 1)) return false;
          // Hashing (and comparing) a key walks all of it, again at every level of maps nested
          // in keys: charged by its length, so that a chain of such keys cannot turn one large
          // string into minutes of work.
          if (!Charge(keyBytes)) return false;
          const size_t hash = KeyHash(k);
          auto [first, last] = index.equal_range(hash);
          auto same = std::find_if(
              first, last, [&](const auto& entry) { return SameKey(map[entry.second].first, k); });
          if (same == last) {
            index.emplace(hash, map.size());
            map.emplace_back(std::move(k), std::move(v));
          } else {
            map[same->second].second = std::move(v);
          }
        }
        out = std::move(map);
        return true;
      }
      default:
        --pos_;
        return Fail("unknown type tag");
    }
  }

 private:
  template <typename T>
  bool ReadTyped(Value& out) {
    std::vector<T> v;
    if (!TypedList(v)) return false;
    out = std::move(v);
    return true;
  }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  uint64_t budget_;
  std::string error_;
};

template <typename T>
Decoded<T> Failure(const std::string& error) {
  return Decoded<T>{std::nullopt, error.empty() ? "malformed input" : error};
}

}  // namespace

bool IsValidUtf8(std::span<const uint8_t> bytes) {
  return IsValidUtf8(bytes.data(), bytes.size());
}

ByteBuffer EncodeMessage(const Value& value) {
  ByteBuffer out;
  Writer(out).Write(value);
  return out;
}

Decoded<Value> DecodeMessage(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  Value v;
  if (!r.Read(v, 0)) return Failure<Value>(r.error());
  if (!r.AtEnd()) return Failure<Value>("bytes left after the value");
  return {std::move(v), {}};
}

ByteBuffer EncodeMethodCall(const FlutterMethodCall& call) {
  return EncodeMethodCall(call.method, call.arguments);
}

ByteBuffer EncodeMethodCall(std::string_view method, const Value& arguments) {
  ByteBuffer out;
  Writer w(out);
  w.Write(Value(std::string(method)));
  w.Write(arguments);
  return out;
}

Decoded<FlutterMethodCall> DecodeMethodCall(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  Value name, args;
  if (!r.Read(name, 0)) return Failure<FlutterMethodCall>(r.error());
  auto* method = name.GetIf<std::string>();
  if (method == nullptr) return Failure<FlutterMethodCall>("method name is not a string");
  if (!r.Read(args, 0)) return Failure<FlutterMethodCall>(r.error());
  if (!r.AtEnd()) return Failure<FlutterMethodCall>("bytes left after the method call");
  return {FlutterMethodCall{std::move(*method), std::move(args)}, {}};
}

ByteBuffer EncodeSuccessEnvelope(const Value& result) {
  ByteBuffer out;
  Writer w(out);
  w.Byte(0);
  w.Write(result);
  return out;
}

ByteBuffer EncodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message,
                               const Value& details) {
  ByteBuffer out;
  Writer w(out);
  w.Byte(1);
  w.Write(Value(code));
  w.Write(message ? Value(*message) : Value());
  w.Write(details);
  return out;
}

Decoded<Envelope> DecodeEnvelope(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  uint8_t kind = 0;
  if (!r.Byte(kind)) return Failure<Envelope>(r.error());
  Envelope env;
  if (kind == 0) {
    if (!r.Read(env.result, 0)) return Failure<Envelope>(r.error());
  } else if (kind == 1) {
    env.success = false;
    Value code, message;
    if (!r.Read(code, 0) || !r.Read(message, 0) || !r.Read(env.details, 0)) {
      return Failure<Envelope>(r.error());
    }
    auto* c = code.GetIf<std::string>();
    if (c == nullptr) return Failure<Envelope>("error code is not a string");
    env.code = *c;
    if (auto* m = message.GetIf<std::string>()) {
      env.message = *m;
    } else if (!message.IsNull()) {
      return Failure<Envelope>("error message is neither a string nor null");
    }
    if (!r.AtEnd()) {
      Value trace;
      if (!r.Read(trace, 0)) return Failure<Envelope>(r.error());
      if (auto* t = trace.GetIf<std::string>()) {
        env.stackTrace = *t;
      } else if (!trace.IsNull()) {
        return Failure<Envelope>("stack trace is neither a string nor null");
      }
    }
  } else {
    return Failure<Envelope>("unknown envelope kind");
  }
  if (!r.AtEnd()) return Failure<Envelope>("bytes left after the envelope");
  return {std::move(env), {}};
}

}  // namespace flutter
