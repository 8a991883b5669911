#include "korvo/common.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/internal/content_disposition.h"
#include "korvo/internal/message_access.h"
#include "support/log_capture.h"
#include "support/payload_bytes.h"

namespace korvo {
namespace {

using test::PayloadBytes;

TEST(HeadersTest, SetKeepsFirstNameAndPosition) {
  Headers headers;
  EXPECT_TRUE(headers.Set("content-type", "a"));
  EXPECT_TRUE(headers.Set("X-Other", "x"));
  EXPECT_TRUE(headers.Set("Content-Type", "b"));
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers.begin()->first, "content-type");
  EXPECT_EQ(headers.begin()->second, "b");
  EXPECT_EQ(std::next(headers.begin())->first, "X-Other");
}

TEST(HeadersTest, EmptyValueIsRefused) {
  Headers headers;
  EXPECT_FALSE(headers.Set("X-Empty", ""));
  EXPECT_TRUE(headers.empty());
  headers.Set("X-Empty", "old");
  EXPECT_FALSE(headers.Set("x-empty", ""));
  EXPECT_EQ(headers.Get("X-Empty"), "old");
}

TEST(HeadersTest, LookupIgnoresCaseButNotLength) {
  Headers headers;
  bool existed = true;
  EXPECT_FALSE(headers.Has("Host"));
  EXPECT_EQ(headers.Get("Host", &existed), "");
  EXPECT_FALSE(existed);

  headers.Set("Host", "example");
  EXPECT_EQ(headers.Get("HOST", &existed), "example");
  EXPECT_TRUE(existed);
  EXPECT_FALSE(headers.Has("Hos"));
  EXPECT_FALSE(headers.Has("Hosts"));
  EXPECT_EQ(headers.Find("hOsT"), headers.begin());
  EXPECT_EQ(headers.Find("Other"), headers.end());
}

// Long lists are looked up through an index: it must agree with the list in every way
// the short list does, also for lists copied after the index was built.
TEST(HeadersTest, LongListsBehaveAsShortOnes) {
  Headers headers;
  for (int i = 0; i < 100; ++i) headers.Set("X-Field-" + std::to_string(i), std::to_string(i));
  EXPECT_TRUE(headers.Set("x-field-7", "seven"));
  EXPECT_FALSE(headers.Set("X-FIELD-8", ""));
  Headers copy = headers;
  for (const Headers* list : {&headers, &copy}) {
    ASSERT_EQ(list->size(), 100u);
    EXPECT_EQ(list->Find("X-FIELD-7"), std::next(list->begin(), 7));
    EXPECT_EQ(std::next(list->begin(), 7)->first, "X-Field-7");
    EXPECT_EQ(list->Get("x-field-7"), "seven");
    EXPECT_EQ(list->Get("x-field-8"), "8");
    EXPECT_EQ(list->Get("X-Field-99"), "99");
    EXPECT_FALSE(list->Has("X-Field-100"));
  }
  copy.Set("Late", "1");
  EXPECT_EQ(copy.Find("LATE"), std::prev(copy.end()));
  EXPECT_FALSE(headers.Has("Late"));
}

// Repeated names, in a short list, in one whose index is built while repeats are in it,
// and in one indexed before they come.
TEST(HeadersTest, RepeatedNamesKeepEveryValue) {
  using Values = std::vector<std::string>;
  for (int padding : {0, 14, 40}) {
    SCOPED_TRACE(padding);
    Headers headers;
    for (int i = 0; i < padding; ++i) headers.Set("P" + std::to_string(i), "p");
    const auto first = static_cast<std::size_t>(padding);
    EXPECT_TRUE(headers.Add("Set-Cookie", "a"));
    EXPECT_TRUE(headers.Add("X", "x"));
    EXPECT_TRUE(headers.Add("set-cookie", "b"));
    EXPECT_TRUE(headers.Add("SET-COOKIE", "c"));
    EXPECT_FALSE(headers.Add("Set-Cookie", ""));
    EXPECT_EQ(headers.size(), first + 4);
    EXPECT_EQ(headers.GetAll("set-COOKIE"), (Values{"a", "b", "c"}));
    EXPECT_EQ(headers.GetAll("Absent"), Values{});
    EXPECT_EQ(headers.Get("Set-Cookie"), "a");
    EXPECT_EQ(headers.Find("set-cookie"), std::next(headers.begin(), padding));
    EXPECT_EQ(std::prev(headers.end())->first, "SET-COOKIE");

    // Set leaves one field: the first, in place and under its own name.
    EXPECT_TRUE(headers.Set("set-cookie", "z"));
    EXPECT_EQ(headers.size(), first + 2);
    EXPECT_EQ(headers.GetAll("Set-Cookie"), Values{"z"});
    EXPECT_EQ(std::next(headers.begin(), padding)->first, "Set-Cookie");
    EXPECT_EQ(headers.Find("X"), std::next(headers.begin(), padding + 1));
    EXPECT_EQ(headers.Get("P0"), padding > 0 ? "p" : "");

    EXPECT_TRUE(headers.Add("Set-Cookie", "y"));
    EXPECT_TRUE(headers.Add("X", "x2"));
    EXPECT_EQ(headers.GetAll("Set-Cookie"), (Values{"z", "y"}));
    EXPECT_EQ(headers.GetAll("x"), (Values{"x", "x2"}));
    EXPECT_EQ(headers.Get("X"), "x");
  }
}

struct ContentTypeCase {
  const char* text;
  const char* media_type;
  const char* additional;
  bool multipart;
  bool valid;
};

TEST(ContentTypeTest, Parses) {
  const ContentTypeCase cases[] = {
      {"text/html; charset=UTF-8", "text/html", "UTF-8", false, true},
      {" text/plain ;  charset = utf-8 ", "text/plain", "utf-8", false, true},
      {"\ttext/plain\r\n", "text/plain", "", false, true},
      {"text/plain; format=flowed", "text/plain", "", false, true},
      {"text/plain; charset=utf-8; format=flowed", "text/plain", "utf-8; format=flowed", false,
       true},
      {"text/plain; charset=", "text/plain", "", false, true},
      {"multipart/form-data; boundary=abc", "multipart/form-data", "abc", true, true},
      {"Multipart/Form-Data; boundary=abc", "Multipart/Form-Data", "", false, true},
      {"application/json", "application/json", "", false, true},
      {"", "", "", false, false},
      {"; charset=utf-8", "", "utf-8", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ContentType type(c.text);
    EXPECT_EQ(type.GetMediaType(), c.media_type);
    EXPECT_EQ(type.GetCharset(), c.additional);
    EXPECT_EQ(type.GetBoundary(), c.additional);
    EXPECT_EQ(type.IsMultipart(), c.multipart);
    EXPECT_EQ(type.Valid(), c.valid);
  }
}

TEST(ContentTypeTest, MultipartWithoutBoundaryIsLoggedAndInvalid) {
  test::LogCapture log;
  const char kRecord[] = "Invalid 'multipart/form-data' content-type (no boundary)";
  ContentType type("multipart/form-data");
  EXPECT_TRUE(type.IsMultipart());
  EXPECT_FALSE(type.Valid());
  EXPECT_EQ(log.Count("ERRO", kRecord), 1u);

  ContentType empty_boundary("multipart/form-data; boundary=");
  EXPECT_FALSE(empty_boundary.Valid());
  EXPECT_EQ(log.Count("ERRO", kRecord), 2u);
}

TEST(MediaTypeTest, FromExtension) {
  EXPECT_EQ(MediaTypeFromExtension(".JSON"), "application/json");
  EXPECT_EQ(MediaTypeFromExtension(".jpg"), "image/jpeg");
  EXPECT_EQ(MediaTypeFromExtension("json"), "application/text");
  EXPECT_EQ(MediaTypeFromExtension(".PDF"), "application/text");
  EXPECT_EQ(MediaTypeFromExtension("."), "application/text");
  EXPECT_EQ(MediaTypeFromExtension(""), "application/text");
}

TEST(FormPartTest, NewFileNamesAndGuessesTheMediaType) {
  auto part = FormPart::NewFile("f", "/some/dir/photo.JPG");
  EXPECT_TRUE(part->IsFile());
  EXPECT_EQ(part->GetFileName(), "photo.JPG");
  EXPECT_EQ(part->GetMediaType(), "image/jpeg");
  EXPECT_EQ(FormPart::NewFile("f", "dir/.profile")->GetMediaType(), "application/text");
  EXPECT_EQ(FormPart::NewFile("f", "report.PDF")->GetMediaType(), "application/text");
  EXPECT_EQ(FormPart::NewFile("f", "x.txt", "text/csv")->GetMediaType(), "text/csv");
  EXPECT_TRUE(part->GetHeaders().empty());  // built only when first needed
}

TEST(FormPartTest, FieldsAreBuiltOnceInOrder) {
  auto part = FormPart::New("k", "v", "application/json");
  FormPartAccess::SetHeaders(*part);
  FormPartAccess::SetHeaders(*part);
  ASSERT_EQ(part->GetHeaders().size(), 2u);
  EXPECT_EQ(part->GetHeaders().begin()->first, "Content-Disposition");
  EXPECT_EQ(part->GetHeaders().begin()->second, "form-data; name=\"k\"");
  EXPECT_EQ(std::next(part->GetHeaders().begin())->second, "application/json");

  auto unnamed = FormPart::New("", "v");
  FormPartAccess::SetHeaders(*unnamed);
  EXPECT_EQ(unnamed->GetHeaders().Get("Content-Disposition"), "form-data");
  EXPECT_FALSE(unnamed->GetHeaders().Has("Content-Type"));
}

TEST(FormPartTest, NamesAreEscapedAndCountedEscaped) {
  auto part = FormPart::New("a\"b\r\nc%d", "1");
  detail::Payload payload;
  FormPartAccess::AppendHead(*part, payload);
  const std::string head =
      "Content-Disposition: form-data; name=\"a%22b%0D%0Ac%d\"\r\n"
      "\r\n";
  EXPECT_EQ(PayloadBytes(payload), head);
  EXPECT_EQ(FormPartAccess::GetSize(*part), static_cast<std::int64_t>((head + "1\r\n").size()));

  auto file = FormPart::NewFile("f\"", "/tmp/evil\"\r\nX-Injected: 1.txt");
  FormPartAccess::SetHeaders(*file);
  EXPECT_EQ(file->GetHeaders().Get("Content-Disposition"),
            "form-data; name=\"f%22\"; filename=\"evil%22%0D%0AX-Injected: 1.txt\"");
}

TEST(FormPartTest, EmptyStringValueIsAFieldOfSizeZero) {
  auto part = FormPart::New("empty", "");
  EXPECT_EQ(part->GetDataSize(), 0);
  detail::Payload payload;
  FormPartAccess::AppendHead(*part, payload);
  const std::string head = "Content-Disposition: form-data; name=\"empty\"\r\n\r\n";
  EXPECT_EQ(PayloadBytes(payload), head);
  EXPECT_EQ(FormPartAccess::GetSize(*part), static_cast<std::int64_t>((head + "\r\n").size()));
}

TEST(FormPartTest, HeadPointsIntoThePart) {
  auto part = FormPart::New("k", "value");
  detail::Payload payload;
  FormPartAccess::AppendHead(*part, payload);
  ASSERT_EQ(payload.size(), 5u);  // one field of four ranges, blank line
  EXPECT_EQ(payload[2].data(),
            static_cast<const void*>(part->GetHeaders().begin()->second.data()));
}

TEST(FormPartTest, DumpPrintsFieldsAndValue) {
  auto part = FormPart::New("k", "line1\nline2");
  std::ostringstream unbuilt;
  part->Dump(unbuilt, "> ");
  EXPECT_EQ(unbuilt.str(), "> \n> line1\n> line2\n");

  FormPartAccess::SetHeaders(*part);
  std::ostringstream built;
  part->Dump(built, "> ");
  EXPECT_EQ(built.str(), "> Content-Disposition: form-data; name=\"k\"\n> \n> line1\n> line2\n");

  auto file = FormPart::NewFile("f", "/tmp/a.txt");
  std::ostringstream file_dump;
  file->Dump(file_dump, "> ");
  EXPECT_EQ(file_dump.str(), "> \n> <file: /tmp/a.txt>\n");
}

TEST(ContentDispositionTest, Init) {
  ContentDisposition disposition;
  EXPECT_TRUE(disposition.Init("form-data; name=\"field\"; filename=\"a.txt\""));
  EXPECT_EQ(disposition.GetName(), "field");
  EXPECT_EQ(disposition.GetFileName(), "a.txt");

  EXPECT_TRUE(disposition.Init("form-data;  name = \"x\" ; other=1"));
  EXPECT_EQ(disposition.GetName(), "x");
  EXPECT_EQ(disposition.GetFileName(), "");

  EXPECT_TRUE(disposition.Init("form-data"));
  EXPECT_EQ(disposition.GetName(), "");

  EXPECT_FALSE(disposition.Init("attachment; filename=\"a.txt\""));
  EXPECT_FALSE(disposition.Init("Form-Data; name=\"x\""));
  EXPECT_FALSE(disposition.Init(" form-data; name=\"x\""));
  EXPECT_FALSE(disposition.Init("form-data; name"));
  EXPECT_FALSE(disposition.Init("form-data;"));  // an empty piece has no "="
}

TEST(ContentDispositionTest, ReadsWhatAPartWrites) {
  auto part = FormPart::NewFile("upload", "/data/report.json");
  FormPartAccess::SetHeaders(*part);
  ContentDisposition disposition;
  ASSERT_TRUE(disposition.Init(part->GetHeaders().Get("Content-Disposition")));
  EXPECT_EQ(disposition.GetName(), "upload");
  EXPECT_EQ(disposition.GetFileName(), "report.json");
}

}  // namespace
}  // namespace korvo
