#include "engine/s3/S3ListBucketResultParser.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/Error.h"

namespace tvr {

namespace {
// Keys are at most 1,024 bytes and tokens a few hundred; a longer text run is hostile.
constexpr std::size_t kMaximumTextLength = 1 << 20;

struct ParserDeleter {
  void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

// A plain non-negative decimal that fits 63 bits; anything else is no size.
std::int64_t parsedSize(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string trimmed(const std::string& text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && isSpace(text[start])) ++start;
  while (end > start && isSpace(text[end - 1])) --end;
  return text.substr(start, end - start);
}
}  // namespace

struct S3ListBucketResultParser::State {
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser;
  Page page;
  std::optional<std::string> currentElement;
  std::string buffer;
  int contentsDepth = 0;       // inside a "Contents" record when above 0
  bool keyOfContents = false;  // the last key came from the open "Contents" record
  std::exception_ptr failure;  // an error raised inside a callback, rethrown after it returns

  void stop(std::exception_ptr error) {
    if (!failure) failure = std::move(error);
    XML_StopParser(parser.get(), XML_FALSE);
  }
};

namespace {
using State = S3ListBucketResultParser::State;

void onStart(void* userData, const XML_Char* name, const XML_Char**) {
  auto* state = static_cast<State*>(userData);
  try {
    state->currentElement = name;
    state->buffer.clear();
    if (std::strcmp(name, "Contents") == 0) ++state->contentsDepth;
  } catch (...) {
    state->stop(std::current_exception());
  }
}

void onCharacters(void* userData, const XML_Char* text, int length) {
  auto* state = static_cast<State*>(userData);
  try {
    if (state->buffer.size() + static_cast<std::size_t>(length) > kMaximumTextLength) {
      throw Error("XMLParser", 1, "The S3 list response holds a text longer than 1 MiB.");
    }
    state->buffer.append(text, static_cast<std::size_t>(length));
  } catch (...) {
    state->stop(std::current_exception());
  }
}

void onEnd(void* userData, const XML_Char* name) {
  auto* state = static_cast<State*>(userData);
  try {
    std::string text = trimmed(state->buffer);
    S3ListBucketResultParser::Page& page = state->page;
    if (std::strcmp(name, "Key") == 0) {
      if (page.keys.size() >= S3ListBucketResultParser::kMaximumKeysPerPage) {
        throw EngineError::ioError("S3 listing page holds more than 1000 keys.");
      }
      page.keys.push_back(std::move(text));
      page.sizes.push_back(-1);
      state->keyOfContents = state->contentsDepth > 0;
    } else if (std::strcmp(name, "Size") == 0) {
      if (state->contentsDepth > 0 && state->keyOfContents) page.sizes.back() = parsedSize(text);
    } else if (std::strcmp(name, "Contents") == 0) {
      if (state->contentsDepth > 0) --state->contentsDepth;
      state->keyOfContents = false;
    } else if (std::strcmp(name, "IsTruncated") == 0) {
      if (text == "true") page.isTruncated = true;
      if (text == "false") page.isTruncated = false;
    } else if (std::strcmp(name, "NextContinuationToken") == 0) {
      page.nextContinuationToken = text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
    }
    state->currentElement.reset();
    state->buffer.clear();
  } catch (...) {
    state->stop(std::current_exception());
  }
}

void onDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* state = static_cast<State*>(userData);
  try {
    throw Error("XMLParser", 1, "The S3 list response holds a document type declaration.");
  } catch (...) {
    state->stop(std::current_exception());
  }
}
}  // namespace

S3ListBucketResultParser::S3ListBucketResultParser() : state_(std::make_unique<State>()) {
  state_->parser.reset(XML_ParserCreate(nullptr));
  if (!state_->parser) throw platformError("XMLParser", "The XML parser could not be created.");
  XML_SetUserData(state_->parser.get(), state_.get());
  XML_SetElementHandler(state_->parser.get(), onStart, onEnd);
  XML_SetCharacterDataHandler(state_->parser.get(), onCharacters);
  XML_SetStartDoctypeDeclHandler(state_->parser.get(), onDoctype);
}

S3ListBucketResultParser::~S3ListBucketResultParser() = default;

namespace {
void parseChunk(State& state, const char* data, std::size_t size, bool isFinal) {
  // Expat takes an int length; large bodies go in pieces.
  constexpr std::size_t kPiece = 1 << 20;
  do {
    std::size_t piece = std::min(size, kPiece);
    bool last = isFinal && piece == size;
    XML_Status status = XML_Parse(state.parser.get(), data, static_cast<int>(piece), last ? XML_TRUE : XML_FALSE);
    if (state.failure) std::rethrow_exception(state.failure);
    if (status != XML_STATUS_OK) {
      XML_Error code = XML_GetErrorCode(state.parser.get());
      throw Error("XMLParser", static_cast<long>(code),
                  std::string("The S3 list response is not valid XML: ") + XML_ErrorString(code) + " at line " +
                      std::to_string(XML_GetCurrentLineNumber(state.parser.get())) + ".");
    }
    data += piece;
    size -= piece;
  } while (size > 0);
}
}  // namespace

void S3ListBucketResultParser::feed(const char* data, std::size_t size) {
  if (size == 0) return;
  parseChunk(*state_, data, size, false);
}

S3ListBucketResultParser::Page S3ListBucketResultParser::finish() {
  parseChunk(*state_, nullptr, 0, true);
  return std::move(state_->page);
}

S3ListBucketResultParser::Page S3ListBucketResultParser::parse(const Bytes& data) {
  S3ListBucketResultParser parser;
  parser.feed(reinterpret_cast<const char*>(data.data()), data.size());
  return parser.finish();
}

}  // namespace tvr
