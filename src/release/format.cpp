#include "release/format.h"

#include "contract/limits.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace release {
namespace {

constexpr char kFormatLine[] = "kelvo-release ";
constexpr std::size_t kMaxVersionParts = 8;
constexpr std::size_t kMaxVersionDigits = 9;
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point's 64 bytes.
constexpr std::uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                        0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                        0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr char kPemBegin[] = "-----BEGIN PUBLIC KEY-----\n";
constexpr char kPemEnd[] = "-----END PUBLIC KEY-----\n";
constexpr std::size_t kPemLine = 64;
// The longest updater path in its quotes, then " --files ".
constexpr std::size_t kWorstLineHead = kMaxPath - 1 + 2 + 9;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }


// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::vector<std::string> SplitParts(const std::string& version) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

// Reads "KEY VALUE\n" at `at`.
bool ReadField(const std::string& bytes, std::size_t& at, const char* key, std::string& value) {
  const std::string head = std::string(key) + " ";
  if (bytes.compare(at, head.size(), head) != 0) return false;
  const std::size_t end = bytes.find('\n', at);
  if (end == std::string::npos) return false;
  value = bytes.substr(at + head.size(), end - at - head.size());
  at = end + 1;
  return true;
}

bool ParseHexDigest(const std::string& text, Digest& out) {
  if (text.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    std::uint8_t byte = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      const char c = text[2 * i + k];
      byte = static_cast<std::uint8_t>(byte << 4);
      if (IsDigit(c))
        byte = static_cast<std::uint8_t>(byte | (c - '0'));
      else if (c >= 'a' && c <= 'f')
        byte = static_cast<std::uint8_t>(byte | (c - 'a' + 10));
      else
        return false;
    }
    out[i] = byte;
  }
  return true;
}

// One DER INTEGER as a 32-byte big-endian number.
bool ReadDerInteger(const Bytes& der, std::size_t& at, std::uint8_t* out) {
  if (at + 2 > der.size() || der[at] != 0x02) return false;
  std::size_t length = der[at + 1];
  at += 2;
  if (length == 0 || length > 33 || at + length > der.size()) return false;
  // Minimal form: a leading zero only before a high bit.
  if (length > 1 && der[at] == 0 && !(der[at + 1] & 0x80)) return false;
  if (der[at] & 0x80) return false;  // negative
  if (length == 33) {
    ++at;
    --length;
  }
  std::fill(out, out + 32 - length, std::uint8_t{0});
  std::copy(der.begin() + static_cast<std::ptrdiff_t>(at),
            der.begin() + static_cast<std::ptrdiff_t>(at + length), out + 32 - length);
  at += length;
  return true;
}

void AppendDerInteger(Bytes& der, const std::uint8_t* value) {
  std::size_t skip = 0;
  while (skip < 31 && value[skip] == 0) ++skip;
  const bool pad = value[skip] & 0x80;
  der.push_back(0x02);
  der.push_back(static_cast<std::uint8_t>(32 - skip + pad));
  if (pad) der.push_back(0);
  der.insert(der.end(), value + skip, value + 32);
}

// "INDEX SHA256 SIZE", or for a delta "INDEX SHA256 SIZE BASE_SHA256 BASE_SIZE".
bool ParseStoredLine(const std::string& line, std::size_t& index, Stored& object, Delta& delta,
                     bool& isDelta) {
  std::vector<std::string> fields;
  for (std::size_t at = 0;;) {
    const std::size_t blank = line.find(' ', at);
    fields.push_back(line.substr(at, blank - at));
    if (blank == std::string::npos || fields.size() > 5) break;
    at = blank + 1;
  }
  std::uint64_t n = 0, size = 0;
  isDelta = fields.size() == 5;
  if ((fields.size() != 3 && !isDelta) || !ParseDecimal(fields[0], kMaxFiles, n) ||
      !ParseHexDigest(fields[1], object.sha256) || !ParseDecimal(fields[2], INT64_MAX, size) ||
      size == 0) {
    return false;
  }
  index = static_cast<std::size_t>(n);
  object.size = size;
  if (!isDelta) return true;
  delta.object = object;
  return ParseHexDigest(fields[3], delta.base) && ParseDecimal(fields[4], INT64_MAX, delta.baseSize);
}

// Format 2's section of stored objects: for each file in order, its whole
// object, then at most kMaxDeltas deltas from distinct bases, none its own.
bool ParseStored(const std::string& bytes, std::size_t& at, Manifest& m, std::size_t* file) {
  std::string count;
  std::uint64_t n = 0;
  if (!ReadField(bytes, at, "stored", count) ||
      !ParseDecimal(count, m.files.size() * (1 + kMaxDeltas), n)) {
    return false;
  }
  std::size_t next = 0;  // the file whose whole object comes next
  for (std::uint64_t k = 0; k < n; ++k) {
    const std::size_t end = bytes.find('\n', at);
    if (end == std::string::npos) return false;
    std::size_t index = 0;
    Stored object;
    Delta delta;
    bool isDelta = false;
    const bool parsed = ParseStoredLine(bytes.substr(at, end - at), index, object, delta, isDelta);
    at = end + 1;
    if (parsed && !isDelta && index == next) {
      m.files[next++].whole = object;
      continue;
    }
    File* f = parsed && isDelta && next > 0 && index == next - 1 ? &m.files[index] : nullptr;
    const bool fits = f && f->deltas.size() < kMaxDeltas && delta.base != f->sha256 &&
                      std::none_of(f->deltas.begin(), f->deltas.end(),
                                   [&](const Delta& d) { return d.base == delta.base; });
    if (!fits) {
      if (file) *file = parsed && index < m.files.size() ? index : next;
      return false;
    }
    f->deltas.push_back(delta);
  }
  return next == m.files.size();
}

// "rollout DAYS STARTED", then "halted" when it is: started no later than
// the publication, which a halt and a resume move on.
bool ParseRollout(const std::string& bytes, std::size_t& at, Manifest& m) {
  std::string value;
  if (!ReadField(bytes, at, "rollout", value)) return false;
  const std::size_t blank = value.find(' ');
  std::uint64_t days = 0;
  if (blank == std::string::npos ||
      !ParseDecimal(value.substr(0, blank), static_cast<std::uint64_t>(kMaxRolloutDays), days) ||
      !ParseTime(value.substr(blank + 1), m.rollout.started) || m.rollout.started > m.published) {
    return false;
  }
  m.rollout.days = static_cast<std::int64_t>(days);
  m.rollout.halted = bytes.compare(at, 7, "halted\n") == 0;
  if (m.rollout.halted) at += 7;
  return true;
}

}  // namespace

std::string WriteManifest(const Manifest& m) {
  std::string out = kFormatLine + std::to_string(m.format) + "\n";
  out += "product " + m.product + "\n";
  out += "channel " + m.channel + "\n";
  out += "version " + m.version + "\n";
  out += "published " + FormatTime(m.published) + "\n";
  out += "expires " + FormatTime(m.expires) + "\n";
  if (m.format == 3) {
    out += "rollout " + std::to_string(m.rollout.days) + " " + FormatTime(m.rollout.started) + "\n";
    if (m.rollout.halted) out += "halted\n";
  }
  out += "files " + std::to_string(m.files.size()) + "\n";
  for (const File& f : m.files) {
    out += Hex(f.sha256.data(), f.sha256.size()) + " " + std::to_string(f.size) + " " +
           WideToUtf8(f.name) + "\n";
  }
  if (m.format == 1) return out;
  // Per file, in order: its compressed whole, then its deltas.
  std::size_t stored = 0;
  for (const File& f : m.files) stored += 1 + f.deltas.size();
  out += "stored " + std::to_string(stored) + "\n";
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const File& f = m.files[i];
    const auto line = [&](const Stored& s) {
      return std::to_string(i) + " " + Hex(s.sha256.data(), s.sha256.size()) + " " +
             std::to_string(s.size);
    };
    out += line(f.whole) + "\n";
    for (const Delta& d : f.deltas) {
      out += line(d.object) + " " + Hex(d.base.data(), 32) + " " + std::to_string(d.baseSize) + "\n";
    }
  }
  return out;
}

LaunchCode ParseManifest(const std::string& bytes, Manifest& out, std::size_t* file) {
  if (file) *file = kNoName;
  if (bytes.size() > kMaxManifestBytes) return RefusedManifestTooLarge;
  Manifest m;
  std::size_t at = 0;
  std::string published, expires, count;
  const std::string head = kFormatLine;
  if (bytes.compare(0, head.size() + 2, head + "1\n") == 0) {
    m.format = 1;
  } else if (bytes.compare(0, head.size() + 2, head + "2\n") == 0) {
    m.format = 2;
  } else if (bytes.compare(0, head.size() + 2, head + "3\n") == 0) {
    m.format = 3;
  } else {
    return RefusedMalformed;
  }
  at = head.size() + 2;
  std::uint64_t n = 0;
  if (!ReadField(bytes, at, "product", m.product) || !IsPlainField(m.product) ||
      !ReadField(bytes, at, "channel", m.channel) || !IsPlainField(m.channel) ||
      !ReadField(bytes, at, "version", m.version) || !IsVersion(m.version) ||
      !ReadField(bytes, at, "published", published) || !ParseTime(published, m.published) ||
      !ReadField(bytes, at, "expires", expires) || !ParseTime(expires, m.expires) ||
      m.expires <= m.published || (m.format == 3 && !ParseRollout(bytes, at, m)) ||
      !ReadField(bytes, at, "files", count) ||
      !ParseDecimal(count, kMaxFiles, n) || n == 0) {
    return RefusedMalformed;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t end = bytes.find('\n', at);
    if (end == std::string::npos) return RefusedMalformed;
    const std::string line = bytes.substr(at, end - at);
    at = end + 1;
    const std::size_t blank = line.find(' ', 65);
    File f;
    std::uint64_t size = 0;
    if (line.size() < 68 || line[64] != ' ' || blank == std::string::npos ||
        !ParseHexDigest(line.substr(0, 64), f.sha256) ||
        !ParseDecimal(line.substr(65, blank - 65), INT64_MAX, size) ||
        line.size() - blank - 1 > kMaxNameBytes || !Utf8ToWide(line.substr(blank + 1), f.name)) {
      if (file) *file = i;
      return RefusedMalformed;
    }
    f.size = size;
    f.whole = {f.sha256, f.size};
    const LaunchCode name = CheckStageableName(f.name);
    if (name != LaunchOk) {
      if (file) *file = i;
      return name;
    }
    m.files.push_back(std::move(f));
  }
  if (m.format >= 2 && !ParseStored(bytes, at, m, file)) return RefusedMalformed;
  if (at != bytes.size()) return RefusedMalformed;
  out = std::move(m);
  return LaunchOk;
}

bool ParseDecimal(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty() || text.size() > 19 || (text[0] == '0' && text.size() > 1)) return false;
  value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value <= max;
}

bool IsVersion(const std::string& text) {
  if (text.empty() || text.size() > kMaxFieldBytes) return false;
  const std::vector<std::string> parts = SplitParts(text);
  if (parts.size() > kMaxVersionParts) return false;
  for (const std::string& part : parts) {
    std::uint64_t value = 0;
    if (part.size() > kMaxVersionDigits || !ParseDecimal(part, UINT64_MAX, value)) return false;
  }
  return true;
}

int CompareVersions(const std::string& a, const std::string& b) {
  const std::vector<std::string> pa = SplitParts(a), pb = SplitParts(b);
  for (std::size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
    std::uint64_t x = 0, y = 0;
    if (i < pa.size()) ParseDecimal(pa[i], UINT64_MAX, x);
    if (i < pb.size()) ParseDecimal(pb[i], UINT64_MAX, y);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool IsPlainField(const std::string& text) {
  if (text.empty() || text.size() > kMaxFieldBytes) return false;
  for (char c : text) {
    const bool plain = IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                       c == '_' || c == '-';
    if (!plain) return false;
  }
  return true;
}

std::string FormatTime(std::int64_t seconds) {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                static_cast<long long>(y), m, d, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

bool ParseTime(const std::string& text, std::int64_t& seconds) {
  // Exactly YYYY-MM-DDTHH:MM:SSZ, years 1970 to 9999.
  static constexpr char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kForm - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kForm[i] == 'd' ? !IsDigit(text[i]) : text[i] != kForm[i]) return false;
  }
  const auto num = [&](std::size_t at, std::size_t n) {
    return static_cast<unsigned>(std::stoul(text.substr(at, n)));
  };
  const unsigned y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2),
                 s = num(17, 2);
  static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] ||
      (mo == 2 && d == 29 && !leap) || h > 23 || mi > 59 || s > 59) {
    return false;
  }
  seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string Base64(const Bytes& data) {
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{data[i]} << 16) |
                            (i + 1 < data.size() ? std::uint32_t{data[i + 1]} << 8 : 0) |
                            (i + 2 < data.size() ? data[i + 2] : 0);
    out += kBase64Alphabet[n >> 18];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += i + 1 < data.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kBase64Alphabet[n & 63] : '=';
  }
  return out;
}

bool ParseBase64(const std::string& text, Bytes& out) {
  if (text.size() % 4 != 0) return false;
  Bytes bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t n = 0;
    std::size_t pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const char* p = c ? std::strchr(kBase64Alphabet, c) : nullptr;
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
      } else if (!p || pad > 0) {
        return false;
      }
      n = (n << 6) | (p ? static_cast<std::uint32_t>(p - kBase64Alphabet) : 0);
    }
    // Canonical: the bits under the padding are zero.
    if ((pad == 1 && (n & 0xFF)) || (pad == 2 && (n & 0xFFFF))) return false;
    bytes.push_back(static_cast<std::uint8_t>(n >> 16));
    if (pad < 2) bytes.push_back(static_cast<std::uint8_t>(n >> 8));
    if (pad < 1) bytes.push_back(static_cast<std::uint8_t>(n));
  }
  out = std::move(bytes);
  return true;
}

bool Utf8ToWide(const std::string& text, WideString& out) {
  WideString wide;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<std::uint8_t>(text[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<std::uint8_t>(text[i + k]);
      if ((c >> 6) != 2) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      wide += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<char16_t>(cp);
    }
    i += n;
  }
  out = std::move(wide);
  return true;
}

std::string WideToUtf8(const WideString& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

Bytes PublicKeyDer(const PublicKey& point) {
  Bytes der(sizeof kSpkiPrefix + point.size());
  std::copy(std::begin(kSpkiPrefix), std::end(kSpkiPrefix), der.begin());
  std::copy(point.begin(), point.end(), der.begin() + sizeof kSpkiPrefix);
  return der;
}

std::string PublicKeyText(const PublicKey& point) {
  return Base64(PublicKeyDer(point));
}

bool ParsePublicKeyDer(const Bytes& der, PublicKey& point) {
  if (der.size() != sizeof kSpkiPrefix + 64 ||
      !std::equal(std::begin(kSpkiPrefix), std::end(kSpkiPrefix), der.begin())) {
    return false;
  }
  std::copy(der.begin() + sizeof kSpkiPrefix, der.end(), point.begin());
  return true;
}

bool ParsePublicKeyText(const std::string& text, PublicKey& point) {
  Bytes der;
  return ParseBase64(text, der) && ParsePublicKeyDer(der, point);
}

std::string PublicKeyPem(const PublicKey& point) {
  const std::string body = PublicKeyText(point);
  std::string pem = kPemBegin;
  for (std::size_t i = 0; i < body.size(); i += kPemLine) pem += body.substr(i, kPemLine) + "\n";
  return pem + kPemEnd;
}

bool ParsePublicKeyPem(const std::string& pem, PublicKey& point) {
  std::string text = pem;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  const std::size_t begin = text.find(kPemBegin);
  const std::size_t end = text.find(kPemEnd);
  if (begin == std::string::npos || end == std::string::npos || end < begin) return false;
  std::string body = text.substr(begin + sizeof kPemBegin - 1, end - begin - sizeof kPemBegin + 1);
  body.erase(std::remove(body.begin(), body.end(), '\n'), body.end());
  return ParsePublicKeyText(body, point);
}

bool ParseSignature(const Bytes& bytes, Signature& out) {
  if (bytes.size() == 64) {
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
  }
  // SEQUENCE { INTEGER r, INTEGER s }, short length form only (at most 72 bytes).
  if (bytes.size() < 8 || bytes[0] != 0x30 || bytes[1] != bytes.size() - 2) return false;
  std::size_t at = 2;
  Signature s{};
  if (!ReadDerInteger(bytes, at, s.data()) || !ReadDerInteger(bytes, at, s.data() + 32) ||
      at != bytes.size()) {
    return false;
  }
  out = s;
  return true;
}

Bytes SignatureDer(const Signature& signature) {
  Bytes body;
  AppendDerInteger(body, signature.data());
  AppendDerInteger(body, signature.data() + 32);
  Bytes der(2 + body.size());
  der[0] = 0x30;
  der[1] = static_cast<std::uint8_t>(body.size());
  std::copy(body.begin(), body.end(), der.begin() + 2);
  return der;
}

bool ParseSignatures(const std::string& bytes, Signatures& out) {
  constexpr std::size_t kSize = std::tuple_size<Signature>::value;
  if (bytes.empty() || bytes.size() % kSize != 0 || bytes.size() / kSize > kMaxSignatures) {
    return false;
  }
  Signatures list(bytes.size() / kSize);
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::copy(bytes.begin() + i * kSize, bytes.begin() + (i + 1) * kSize, list[i].begin());
  }
  out = std::move(list);
  return true;
}

std::string WriteSignatures(const Signatures& signatures) {
  std::string bytes;
  for (const Signature& s : signatures) bytes.append(s.begin(), s.end());
  return bytes;
}

bool ParsePublicKeys(const std::string& text, std::vector<PublicKey>& out) {
  std::vector<PublicKey> keys;
  std::size_t at = 0;
  const auto separator = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',';
  };
  while (at < text.size()) {
    if (separator(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !separator(text[end])) ++end;
    PublicKey point{};
    if (keys.size() == kMaxKeys || !ParsePublicKeyText(text.substr(at, end - at), point)) {
      return false;
    }
    keys.push_back(point);
    at = end;
  }
  if (keys.empty()) return false;
  out = std::move(keys);
  return true;
}

bool FitsOneCommandLine(const std::vector<File>& files) {
  std::size_t length = kWorstLineHead;
  for (const File& f : files) length += f.name.size() + 1;
  return length - 1 < kMaxCommandLine;
}

std::string ManifestPath(const std::string& channel, int format) {
  return channel + (format == 1 ? "" : "." + std::to_string(format)) + ".manifest";
}
std::string SignaturePath(const std::string& channel) { return channel + ".sig"; }
std::string SignaturesPath(const std::string& channel, int format) {
  return channel + (format == 1 ? "" : "." + std::to_string(format)) + ".sigs";
}
std::string StoredPath(const Digest& sha256) {
  return std::string(kFilesFolder) + "/" + Hex(sha256.data(), sha256.size());
}

LaunchCode CheckRules(const Manifest& m, const std::string& product, const std::string& channel,
                      const std::string& installed, std::int64_t now) {
  if (m.product != product || m.channel != channel) return RefusedProduct;
  if (now >= m.expires) return RefusedExpired;
  const int order = CompareVersions(m.version, installed);
  if (order < 0) return RefusedRollback;
  return order == 0 ? UpToDate : LaunchOk;
}

}  // namespace release
