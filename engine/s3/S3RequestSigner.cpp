#include "engine/s3/S3RequestSigner.h"

#include <algorithm>
#include <ctime>
#include <memory>

#include "engine/crypto/CryptoPrimitives.h"
#include "platform/Error.h"

namespace tvr {

namespace {

struct Endpoint {
  std::string scheme;
  std::string host;                 // as written; IPv6 literals keep their brackets
  std::optional<std::string> port;  // decimal digits, only when the URL names one
};

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(unsigned char c) {
  return isAlpha(static_cast<char>(c)) || isDigit(static_cast<char>(c)) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Characters a registered host name may carry in a request line and a Host header.
bool isHostNameText(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!(isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_')) return false;
  }
  return true;
}

bool isIPv6Literal(std::string_view text) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
  for (char c : text.substr(1, text.size() - 2)) {
    bool hex = isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!(hex || c == ':' || c == '.')) return false;
  }
  return true;
}

EngineError invalidHost() { return EngineError::ioError("Invalid S3 endpoint host."); }
EngineError invalidConfiguration() { return EngineError::ioError("Invalid S3 endpoint configuration."); }

// Splits an absolute URL far enough to rebuild request URLs from it. A URL without an
// authority or with an empty host has no host; one that has a host but cannot carry an
// HTTP request (user info, a bad port, a scheme other than http/https) is unusable.
Endpoint parseEndpoint(const std::string& url) {
  std::size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0 || !isAlpha(url[0])) throw invalidHost();
  for (std::size_t i = 1; i < colon; ++i) {
    char c = url[i];
    if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) throw invalidHost();
  }
  if (url.compare(colon + 1, 2, "//") != 0) throw invalidHost();
  Endpoint endpoint;
  for (std::size_t i = 0; i < colon; ++i) {
    char c = url[i];
    endpoint.scheme += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::size_t start = colon + 3;
  std::size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  bool hasUserInfo = authority.find('@') != std::string::npos;
  if (hasUserInfo) authority = authority.substr(authority.rfind('@') + 1);
  std::string hostPart = authority;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) throw invalidHost();
    hostPart = authority.substr(0, close + 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw invalidConfiguration();
      endpoint.port = rest.substr(1);
    }
  } else if (std::size_t portColon = authority.rfind(':'); portColon != std::string::npos) {
    hostPart = authority.substr(0, portColon);
    endpoint.port = authority.substr(portColon + 1);
  }
  if (hostPart.empty()) throw invalidHost();
  endpoint.host = hostPart;
  if (endpoint.port) {
    const std::string& port = *endpoint.port;
    // An empty port ("host:") means the scheme's default, as URL parsers read it.
    if (port.empty()) {
      endpoint.port.reset();
    } else {
      if (port.size() > 5) throw invalidConfiguration();
      for (char c : port) {
        if (!isDigit(c)) throw invalidConfiguration();
      }
      if (std::stoi(port) > 65535) throw invalidConfiguration();
      endpoint.port = std::to_string(std::stoi(port));
    }
  }
  return endpoint;
}

// Checks that an endpoint can carry our requests, then gives it back.
Endpoint usableEndpoint(const std::string& url) {
  Endpoint endpoint = parseEndpoint(url);
  std::size_t start = url.find("//") + 2;
  std::size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  // User info would turn into HTTP basic credentials; only SigV4 is ever sent.
  if (authority.find('@') != std::string::npos) throw invalidConfiguration();
  if (endpoint.scheme != "http" && endpoint.scheme != "https") throw invalidConfiguration();
  if (!isHostNameText(endpoint.host) && !isIPv6Literal(endpoint.host)) {
    throw invalidConfiguration();
  }
  return endpoint;
}

std::string withPort(const std::string& host, const std::optional<std::string>& port) {
  return port ? host + ":" + *port : host;
}

std::string encodedKeyPath(const std::string& raw) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = raw.find('/', start);
    out += S3RequestSigner::percentEncode(
        std::string_view(raw).substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

bool isHeaderWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Runs of whitespace become one space; leading and trailing whitespace go.
std::string canonicalHeaderValue(const std::string& value) {
  std::string out;
  bool pendingSpace = false;
  for (char c : value) {
    if (isHeaderWhitespace(c)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out += c;
  }
  return out;
}

std::string lowercasedASCII(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string formatUTC(std::chrono::system_clock::time_point date, const char* pattern) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::size_t n = std::strftime(text, sizeof text, pattern, &parts);
  return std::string(text, n);
}

}  // namespace

const std::string* S3SignedRequest::header(std::string_view name) const {
  for (const auto& [headerName, value] : headers) {
    if (headerName == name) return &value;
  }
  return nullptr;
}

S3RequestSigner::S3RequestSigner(S3StorageConfiguration configuration) : configuration_(std::move(configuration)) {}

std::string S3RequestSigner::defaultEndpointURL(const std::string& region) {
  return "https://s3." + region + ".amazonaws.com";
}

std::string S3RequestSigner::endpointURL() const {
  return configuration_.endpointURL ? *configuration_.endpointURL : defaultEndpointURL(configuration_.region);
}

std::string S3RequestSigner::host(const std::string& endpointURL) {
  Endpoint endpoint = parseEndpoint(endpointURL);
  return withPort(endpoint.host, endpoint.port);
}

std::string S3RequestSigner::percentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string S3RequestSigner::canonicalQueryString(const std::vector<S3QueryItem>& queryItems) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(queryItems.size());
  for (const auto& item : queryItems) {
    pairs.emplace_back(percentEncode(item.name), percentEncode(item.value));
  }
  std::sort(pairs.begin(), pairs.end());
  std::string out;
  for (const auto& [name, value] : pairs) {
    if (!out.empty()) out += '&';
    out += name + "=" + value;
  }
  return out;
}

S3RequestSigner::RequestTarget S3RequestSigner::requestTarget(const RepositoryObjectKey& key) const {
  std::string keyPath = encodedKeyPath(key.rawValue());
  std::string endpointText = endpointURL();
  std::string hostText = host(endpointText);
  Endpoint endpoint = usableEndpoint(endpointText);
  RequestTarget target;
  if (configuration_.usePathStyle) {
    target.canonicalURI = "/" + percentEncode(configuration_.bucket) + "/" + keyPath;
    target.host = hostText;
  } else {
    if (!isHostNameText(configuration_.bucket) || isIPv6Literal(endpoint.host)) {
      throw invalidConfiguration();
    }
    target.canonicalURI = "/" + keyPath;
    target.host = withPort(configuration_.bucket + "." + endpoint.host, endpoint.port);
  }
  target.url = endpoint.scheme + "://" + target.host + target.canonicalURI;
  return target;
}

S3RequestSigner::RequestTarget S3RequestSigner::requestTarget(const RepositoryObjectKey& key,
                                                              const std::vector<S3QueryItem>& queryItems) const {
  RequestTarget target = requestTarget(key);
  target.canonicalQueryString = canonicalQueryString(queryItems);
  if (!target.canonicalQueryString.empty()) target.url += "?" + target.canonicalQueryString;
  return target;
}

S3RequestSigner::RequestTarget S3RequestSigner::bucketRequestTarget(const std::vector<S3QueryItem>& queryItems) const {
  RequestTarget target;
  target.canonicalQueryString = canonicalQueryString(queryItems);
  std::string endpointText = endpointURL();
  std::string hostText = host(endpointText);
  Endpoint endpoint = usableEndpoint(endpointText);
  if (configuration_.usePathStyle) {
    target.canonicalURI = "/" + percentEncode(configuration_.bucket);
    target.host = hostText;
  } else {
    if (!isHostNameText(configuration_.bucket) || isIPv6Literal(endpoint.host)) {
      throw invalidConfiguration();
    }
    target.canonicalURI = "/";
    target.host = withPort(configuration_.bucket + "." + endpoint.host, endpoint.port);
  }
  target.url = endpoint.scheme + "://" + target.host + target.canonicalURI;
  std::string query;
  for (const auto& item : queryItems) {
    if (!query.empty()) query += '&';
    query += percentEncode(item.name) + "=" + percentEncode(item.value);
  }
  if (!queryItems.empty()) target.url += "?" + query;
  return target;
}

std::string S3RequestSigner::timestampText(std::chrono::system_clock::time_point date) {
  return formatUTC(date, "%Y%m%dT%H%M%SZ");
}

std::string S3RequestSigner::dateStampText(std::chrono::system_clock::time_point date) {
  return formatUTC(date, "%Y%m%d");
}

S3SignedRequest S3RequestSigner::signedRequest(const std::string& method, const RequestTarget& target,
                                               const std::string& payloadSHA256Hex,
                                               const std::map<std::string, std::string>& extraHeaders,
                                               std::chrono::system_clock::time_point date) const {
  std::string timestamp = timestampText(date);
  std::string dateStamp = dateStampText(date);

  // std::map keeps the names in byte order, which is the signing order.
  std::map<std::string, std::string> headerMap;
  for (const auto& [name, value] : extraHeaders) headerMap[lowercasedASCII(name)] = value;
  headerMap["host"] = target.host;
  headerMap["x-amz-content-sha256"] = payloadSHA256Hex;
  headerMap["x-amz-date"] = timestamp;
  if (configuration_.sessionToken && !configuration_.sessionToken->empty()) {
    headerMap["x-amz-security-token"] = *configuration_.sessionToken;
  }

  std::string canonicalHeaders;
  std::string signedHeaders;
  for (const auto& [name, value] : headerMap) {
    canonicalHeaders += name + ":" + canonicalHeaderValue(value) + "\n";
    if (!signedHeaders.empty()) signedHeaders += ';';
    signedHeaders += name;
  }

  S3SignedRequest request;
  request.canonicalRequest = method + "\n" + target.canonicalURI + "\n" + target.canonicalQueryString + "\n" +
                             canonicalHeaders + "\n" + signedHeaders + "\n" + payloadSHA256Hex;
  std::string scope = dateStamp + "/" + configuration_.region + "/s3/aws4_request";
  request.stringToSign =
      "AWS4-HMAC-SHA256\n" + timestamp + "\n" + scope + "\n" + crypto::sha256Hex(request.canonicalRequest);

  SecretBytes kDate(hmacSHA256(bytesOf(dateStamp), bytesOf("AWS4" + configuration_.secretAccessKey)));
  SecretBytes kRegion(hmacSHA256(bytesOf(configuration_.region), kDate.bytes()));
  SecretBytes kService(hmacSHA256(bytesOf("s3"), kRegion.bytes()));
  SecretBytes kSigning(hmacSHA256(bytesOf("aws4_request"), kService.bytes()));
  std::string signature = hexEncode(hmacSHA256(bytesOf(request.stringToSign), kSigning.bytes()));

  request.url = target.url;
  request.method = method;
  request.timeoutSeconds = 60;
  // Values leave folded exactly as they were signed, which also keeps a line break in a
  // value (a session token from the environment) from starting a header of its own.
  for (const auto& [name, value] : headerMap) {
    request.headers.emplace_back(name, canonicalHeaderValue(value));
  }
  request.headers.emplace_back("authorization", "AWS4-HMAC-SHA256 Credential=" + configuration_.accessKeyID + "/" +
                                                    scope + ", SignedHeaders=" + signedHeaders +
                                                    ", Signature=" + signature);
  return request;
}

const std::string& S3RequestSigner::emptyPayloadSHA256Hex() {
  static const std::string digest = crypto::sha256Hex("");
  return digest;
}

Bytes S3RequestSigner::hmacSHA256(const Bytes& data, const Bytes& key) {
  const crypto::Digest digest = crypto::HMACSHA256::compute(key, data);
  return Bytes(digest.begin(), digest.end());
}

std::string S3RequestSigner::sha256Hex(const std::filesystem::path& file, std::size_t chunkSize) {
  return crypto::sha256HexOfFile(file, chunkSize);
}

}  // namespace tvr
