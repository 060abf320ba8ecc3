// libcurl is loaded by the first curl call of the HTTP session, not at start-up, and the
// calls reach it with their arguments intact.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/TempDir.h"

namespace {

bool curlIsMapped() {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find("libcurl") != std::string::npos;
}

size_t collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

TEST(CurlLibraryTest, LoadedOnFirstUseAndForwardsEveryArgumentKind) {
  EXPECT_FALSE(curlIsMapped()) << "libcurl is linked into the program again";

  tvr::test::TempDir temp;
  const std::string path = (temp / "body.txt").string();
  std::ofstream(path) << "twelve bytes";

  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  EXPECT_TRUE(curlIsMapped());

  std::string body;
  const std::string url = "file://" + path;
  curl_slist* headers = curl_slist_append(nullptr, "X-Test: 1");
  ASSERT_NE(headers, nullptr);
  EXPECT_EQ(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()), CURLE_OK);                // object pointer
  EXPECT_EQ(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers), CURLE_OK);             // list
  EXPECT_EQ(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect), CURLE_OK);          // function
  EXPECT_EQ(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body), CURLE_OK);                // object pointer
  EXPECT_EQ(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L), CURLE_OK);                    // long
  EXPECT_EQ(curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{1000}), CURLE_OK);  // off_t
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  EXPECT_EQ(body, "twelve bytes");
  curl_off_t downloaded = 0;
  EXPECT_EQ(curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &downloaded), CURLE_OK);
  EXPECT_EQ(downloaded, 12);

  // A 64-bit offset arrives as the value given: the transfer starts at byte 7.
  curl_easy_reset(curl);
  body.clear();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t{7});
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  EXPECT_EQ(body, "bytes");

  // A missing file fails with curl's own code and text.
  curl_easy_setopt(curl, CURLOPT_URL, ("file://" + path + ".missing").c_str());
  curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t{0});
  const CURLcode missing = curl_easy_perform(curl);
  EXPECT_EQ(missing, CURLE_FILE_COULDNT_READ_FILE);
  EXPECT_STREQ(curl_easy_strerror(missing), "Couldn't read a file:// file");

  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
}

}  // namespace
