#include <gtest/gtest.h>

#include "engine/s3/S3HTTPFailureError.h"
#include "engine/s3/S3ListBucketResultParser.h"
#include "engine/s3/S3ProviderError.h"
#include "platform/Error.h"

namespace tvr {
namespace {

std::optional<std::string> none() { return std::nullopt; }

TEST(S3ResponseParsingTests, XmlTagValue) {
  struct Case {
    const char* name;
    const char* tag;
    std::string text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"plain", "Code", "<Error><Code>NoSuchKey</Code></Error>", "NoSuchKey"},
      {"first occurrence", "Code", "<Code>A</Code><Code>B</Code>", "A"},
      {"trimmed", "Message", "<Message>\n  Access denied \t\n</Message>", "Access denied"},
      {"whitespace only is absent", "Message", "<Message> \n </Message>", none()},
      {"no closing tag", "Code", "<Code>Oops", none()},
      {"attributes are not recognised", "Code", "<Code a=\"1\">X</Code>", none()},
      {"entities, &amp; last", "Message", "<Message>&quot;a&apos; &lt;b&gt; &amp;quot; &amp;lt;</Message>",
       "\"a' <b> &quot; &lt;"},
      {"case-sensitive", "Code", "<code>x</code>", none()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(S3ProviderError::xmlTagValue(c.tag, c.text), c.expected);
  }
}

TEST(S3ResponseParsingTests, ProviderErrorDocuments) {
  EXPECT_EQ(S3ProviderError::parse(std::nullopt), std::nullopt);
  EXPECT_EQ(S3ProviderError::parse(Bytes{}), std::nullopt);
  EXPECT_EQ(S3ProviderError::parse(bytesOf("<html>Bad Gateway</html>")), std::nullopt);

  auto full =
      S3ProviderError::parse(bytesOf("<?xml version=\"1.0\"?><Error><Code>AccessDenied</Code><Message>No.</Message>"
                                     "<RequestId>R1</RequestId></Error>"));
  ASSERT_TRUE(full);
  EXPECT_EQ(*full, (S3ProviderError{"AccessDenied", "No.", "R1"}));

  auto capitalD = S3ProviderError::parse(bytesOf("<Error><RequestID>R2</RequestID></Error>"));
  ASSERT_TRUE(capitalD);
  EXPECT_EQ(*capitalD, (S3ProviderError{none(), none(), "R2"}));

  // Only the first 64 KiB are examined.
  std::string late(70000, ' ');
  late += "<Code>Late</Code>";
  EXPECT_EQ(S3ProviderError::parse(bytesOf(late)), std::nullopt);
  std::string cut(65536 - 13, ' ');
  cut = "<Code>X</Code>" + cut.substr(14) + "<Message>\xC3\xA9\xC3";  // cut inside a character
  auto lossy = S3ProviderError::parse(bytesOf(cut + "\xA9</Message>"));
  ASSERT_TRUE(lossy);
  EXPECT_EQ(lossy->code, "X");
  EXPECT_EQ(lossy->message, std::nullopt);

  // Control characters from a hostile server never reach a terminal.
  auto escaped = S3ProviderError::parse(bytesOf("<Message>a\x1B[2Jb</Message>"));
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->message, "a [2Jb");
}

TEST(S3ResponseParsingTests, HTTPFailureErrorMessageAndDetails) {
  struct Case {
    const char* name;
    std::string method;
    long status;
    std::optional<Bytes> body;
    std::string message;
    std::map<std::string, std::string> providerDetails;
  };
  const Case cases[] = {
      {"no body", "HEAD", 500, std::nullopt, "S3 HEAD failed with HTTP 500.", {}},
      {"code and message",
       "GET",
       403,
       bytesOf("<Error><Code>AccessDenied</Code><Message>Access Denied</Message>"
               "<RequestId>4442587FB7D0A2F9</RequestId></Error>"),
       "S3 GET failed with HTTP 403 (AccessDenied): Access Denied.",
       {{"S3ErrorCode", "AccessDenied"}, {"S3ErrorMessage", "Access Denied"}, {"S3RequestID", "4442587FB7D0A2F9"}}},
      {"message only",
       "PUT",
       400,
       bytesOf("<Message>Bad digest</Message>"),
       "S3 PUT failed with HTTP 400: Bad digest.",
       {{"S3ErrorMessage", "Bad digest"}}},
      {"code only",
       "LIST",
       404,
       bytesOf("<Code>NoSuchBucket</Code>"),
       "S3 LIST failed with HTTP 404 (NoSuchBucket).",
       {{"S3ErrorCode", "NoSuchBucket"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S3HTTPFailureError error = S3HTTPFailureError::fromResponse(c.method, "blobs/ab/x", c.status, c.body);
    EXPECT_EQ(error.domain(), "S3RepositoryStorageBackend");
    EXPECT_EQ(error.code(), c.status);
    EXPECT_EQ(std::string(error.what()), c.message);
    std::map<std::string, std::string> expected = c.providerDetails;
    expected["NSLocalizedDescription"] = c.message;
    expected["S3Method"] = c.method;
    expected["S3ObjectKey"] = "blobs/ab/x";
    EXPECT_EQ(error.details(), expected);
  }
}

TEST(S3ResponseParsingTests, ListBucketResultPages) {
  auto page =
      S3ListBucketResultParser::parse(bytesOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                              "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                                              "<Name>b</Name><IsTruncated>false</IsTruncated>"
                                              "<Contents><Key>\n  blobs/ab/ab12 </Key><Size>3</Size></Contents>"
                                              "<Contents><Key>a &amp; b</Key></Contents>"
                                              "<Contents><Key></Key></Contents>"
                                              "<Other><Key>nested</Key></Other>"
                                              "<NextContinuationToken>tok+/=</NextContinuationToken>"
                                              "</ListBucketResult>"));
  EXPECT_EQ(page.keys, (std::vector<std::string>{"blobs/ab/ab12", "a & b", "", "nested"}));
  EXPECT_EQ(page.nextContinuationToken, "tok+/=");
  // Sizes come only from the key's own record.
  EXPECT_EQ(page.sizes, (std::vector<std::int64_t>{3, -1, -1, -1}));
  EXPECT_EQ(page.isTruncated, false);

  auto last =
      S3ListBucketResultParser::parse(bytesOf("<ListBucketResult><NextContinuationToken> </NextContinuationToken>"
                                              "<key>lowercase is not Key</key></ListBucketResult>"));
  EXPECT_TRUE(last.keys.empty());
  EXPECT_EQ(last.nextContinuationToken, std::nullopt);
  EXPECT_EQ(last.isTruncated, std::nullopt);

  // S3 sends at most 1,000 keys a page: the 1,001st is refused as it arrives.
  std::string full = "<R>";
  for (int i = 0; i < 1000; ++i) full += "<Contents><Key>k" + std::to_string(i) + "</Key><Size>x</Size></Contents>";
  auto thousand = S3ListBucketResultParser::parse(bytesOf(full + "</R>"));
  EXPECT_EQ(thousand.keys.size(), 1000u);
  EXPECT_EQ(thousand.sizes.back(), -1);  // not a number
  try {
    S3ListBucketResultParser::parse(bytesOf(full + "<Contents><Key>more</Key></Contents></R>"));
    ADD_FAILURE() << "parsed";
  } catch (const EngineError& error) {
    EXPECT_EQ(std::string(error.what()), "S3 listing page holds more than 1000 keys.");
  }

  // Fed in arbitrary pieces, the result is the same.
  std::string document = "<R><Contents><Key>d\xC3\xA9j\xC3\xA0 vu</Key></Contents></R>";
  S3ListBucketResultParser streamed;
  for (char c : document) streamed.feed(&c, 1);
  EXPECT_EQ(streamed.finish().keys, (std::vector<std::string>{"d\xC3\xA9j\xC3\xA0 vu"}));
}

TEST(S3ResponseParsingTests, MalformedListingsFail) {
  struct Case {
    const char* name;
    std::string document;
    std::string messagePrefix;
  };
  const Case cases[] = {
      {"unclosed", "<ListBucketResult><Key>a</Key>", "The S3 list response is not valid XML: "},
      {"mismatched", "<A><Key>a</B></A>", "The S3 list response is not valid XML: mismatched tag"},
      {"not XML", "Service Unavailable", "The S3 list response is not valid XML: "},
      {"empty", "", "The S3 list response is not valid XML: "},
      {"entity expansion", "<!DOCTYPE r [<!ENTITY a \"aaaa\">]><r><Key>&a;</Key></r>",
       "The S3 list response holds a document type declaration."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      S3ListBucketResultParser::parse(bytesOf(c.document));
      ADD_FAILURE() << "parsed";
    } catch (const Error& error) {
      EXPECT_EQ(error.domain(), "XMLParser");
      EXPECT_EQ(std::string(error.what()).rfind(c.messagePrefix, 0), 0u) << error.what();
    }
  }
}

}  // namespace
}  // namespace tvr
