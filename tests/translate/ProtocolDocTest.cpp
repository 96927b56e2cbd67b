// Proves the examples of docs/PROTOCOL.md against the code: every example
// (read by samples::ReadDocExamples, where the kinds and the value syntax
// are described) is built from its values and run through the gateway's own
// converter table, notices, spell requests, codec and gate-frame writer, and
// must come out as the document shows it. Every ```json block of the
// document must be an example.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CloseCode.h"
#include "platform/CodePage.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "protocol/ProtocolVersion.h"
#include "samples/DocExamples.h"
#include "shared/SessionInfo.h"
#include "traffic/ClientMagic.h"
#include "translate/ConvertTable.h"

namespace {

using samples::DocExample;
using samples::ExampleValues;

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read ") + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ReadDocument() {
  return ReadFile(TAVREL_PROTOCOL_DOC);
}

// The code and reason of every row of the first table whose header begins
// "| code | reason", as "code reason" (backticks dropped).
std::vector<std::string> CloseCodeRows(const std::string& text) {
  std::vector<std::string> rows;
  std::istringstream in(text);
  std::string line;
  bool inTable = false;
  while (std::getline(in, line)) {
    if (!inTable) {
      inTable = line.starts_with("| code | reason");
      continue;
    }
    if (!line.starts_with("|")) break;
    if (line.starts_with("|---")) continue;
    std::vector<std::string> cells;
    std::istringstream cellsIn(line.substr(1));
    for (std::string cell; std::getline(cellsIn, cell, '|');) {
      std::erase(cell, '`');
      const size_t first = cell.find_first_not_of(' ');
      const size_t last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    if (cells.size() >= 2) rows.push_back(cells[0] + " " + cells[1]);
  }
  return rows;
}

TConvertBody GatewayConverter(int32_t nIdent) {
  const TConvertBody perUser = PerUserConverter(nIdent);
  return perUser ? perUser : BroadcastConverter(nIdent);
}

// The notice's body as the client decodes it.
std::string NoticeBody(ExampleValues& v) {
  TSessionInfo session;
  session.BufferStream = std::make_unique<TMemoryStreamEx>();
  struct : TTrafficSink {
    void SendServerMsg(int32_t, int32_t, int32_t, int32_t, int32_t, const void*) override {}
  } sink;
  SendSysMsg(session, sink, v.Take("text"));
  const std::string sent(session.BufferStream->Memory(),
                         static_cast<size_t>(session.BufferStream->Position()));
  const TDefaultMessage header = DecodeMessage(std::string_view(sent).substr(0, DEFBLOCKSIZE));
  if (header.Ident != SM_SYSMESSAGE) throw std::runtime_error("not SM_SYSMESSAGE");
  return DecodeStringUtf8(std::string_view(sent).substr(DEFBLOCKSIZE));
}

// A gate frame in hex: the header's fields and a text payload, "zero=1"
// appending its terminating zero byte.
std::string FrameHex(ExampleValues& v) {
  const auto nSocket = static_cast<int32_t>(v.TakeInt("nSocket"));
  const auto wGSocketIdx = static_cast<int32_t>(v.TakeInt("wGSocketIdx"));
  const auto wIdent = static_cast<uint16_t>(v.TakeInt("wIdent"));
  const auto wUserListIndex = static_cast<uint16_t>(v.TakeInt("wUserListIndex"));
  std::string payload = v.Take("payload");
  if (v.Take("zero") == "1") payload.push_back('\0');
  std::string frame;
  AppendGateFrame(frame, wIdent, nSocket, wGSocketIdx, wUserListIndex, payload.data(),
                  static_cast<int32_t>(payload.size()));
  std::string hex;
  for (unsigned char c : frame) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (!hex.empty()) hex += ' ';
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// Empty when the spell body gives the record fields and the body the example
// names (the run loop sets nLength to the body's bytes when it forwards it).
std::string CheckSpellRequest(const DocExample& ex) {
  ExampleValues v(ex.Values);
  const std::string targetID = v.Take("targetID");
  const TDefaultMessage expected = v.Header();
  if (!v.Unused().empty()) return "unknown values:" + v.Unused();
  TDefaultMessage got;
  got.Ident = CM_SPELL;
  const std::string body = ProcessClientMsg_Magic(Utf8ToGbk(ex.Text), got);
  std::string diff;
  if (GbkToUtf8(body) != targetID) diff += " body \"" + GbkToUtf8(body) + "\"";
  if (got.Recog != expected.Recog) diff += " Recog " + std::to_string(got.Recog);
  if (got.Param != expected.Param) diff += " Param " + std::to_string(got.Param);
  if (got.Tag != expected.Tag) diff += " Tag " + std::to_string(got.Tag);
  return diff.empty() ? "" : "the body gives" + diff;
}

class ProtocolDoc : public ::testing::Test {
 protected:
  void SetUp() override {
    doc = ReadDocument();
    examples = samples::ReadDocExamples(doc, &nJsonFences);
  }
  std::string doc;
  std::vector<DocExample> examples;
  int nJsonFences = 0;
};

TEST_F(ProtocolDoc, EveryJsonExampleIsWhatTheConverterWrites) {
  ASSERT_FALSE(examples.empty()) << "no examples found in " TAVREL_PROTOCOL_DOC;
  int nJson = 0;
  for (const DocExample& ex : examples) {
    SCOPED_TRACE("PROTOCOL.md line " + std::to_string(ex.Line) + ": " + ex.Kind + " " + ex.Name);
    if (ex.Fence == "json") ++nJson;
    std::string got;
    ExampleValues values(ex.Values);
    try {
      if (ex.Kind == "example") {
        got = samples::ClientJson(samples::BuildExample(ex));  // throws on an unused value
        values = ExampleValues({});
      } else if (ex.Kind == "notice") {
        got = NoticeBody(values);
      } else if (ex.Kind == "request") {
        ASSERT_EQ(ex.Name, "CM_SPELL");
        EXPECT_EQ(CheckSpellRequest(ex), "");
        continue;
      } else if (ex.Kind == "frame") {
        got = FrameHex(values);
      } else {
        ASSERT_TRUE(ex.Name.empty());
        got = EncodeMessage(values.Header());
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_EQ(values.Unused(), "") << "values no field takes";
    EXPECT_EQ(ex.Text, got);
  }
  // No JSON in the document escapes the check.
  EXPECT_EQ(nJson, nJsonFences);
}

// Whether `word` stands in `text` on its own (SM_BAGITEMS is not SM_BAGITEMS1).
bool NamesWord(std::string_view text, std::string_view word) {
  auto identChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
    const size_t end = at + word.size();
    if ((at == 0 || !identChar(text[at - 1])) && (end == text.size() || !identChar(text[end])))
      return true;
  }
  return false;
}

// Every ident the gateway converts is in the document, and every converter
// has an example; a new row of the table fails here until it is documented.
TEST_F(ProtocolDoc, EveryConvertedIdentIsDocumentedWithAnExampleOfItsConverter) {
  std::set<TConvertBody> shown;
  for (const DocExample& ex : examples)
    if (ex.Kind == "example")
      if (const int64_t nIdent = FindIdentValue(ex.Name); nIdent >= 0)
        shown.insert(GatewayConverter(static_cast<int32_t>(nIdent)));
  for (const TConvertRow& row : ConvertRows()) {
    const char* sName = FindIdentName(kServerIdentNames, row.nIdent);
    ASSERT_NE(sName, nullptr) << row.nIdent;
    EXPECT_TRUE(NamesWord(doc, sName)) << sName << " is not named in the document";
    if (row.Form == TBodyForm::Json) {
      EXPECT_TRUE(shown.count(row.Convert)) << "no example of the converter of " << sName;
      EXPECT_TRUE(samples::HasBodyBuilder(sName)) << "no body builder for " << sName;
    }
  }
}

// Every field an example is built from is named in the document (the
// layouts, the header, the prefixes of the conventions), so that a reader can
// build the same record.
TEST_F(ProtocolDoc, TheFieldsOfEveryExampleAreNamedInTheDocument) {
  for (const DocExample& ex : examples) {
    if (ex.Kind != "example") continue;
    for (const auto& [path, value] : ex.Values) {
      std::string_view rest = path;
      while (!rest.empty()) {
        const size_t dot = rest.find('.');
        std::string part(rest.substr(0, dot));
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
        if (const size_t bracket = part.find('['); bracket != std::string::npos)
          part.resize(bracket);
        if (part.empty()) continue;
        const bool named = doc.find("`" + part + "`") != std::string::npos ||
                           doc.find("`" + part + ".`") != std::string::npos;
        EXPECT_TRUE(named) << "line " << ex.Line << ": " << part << " of " << path;
      }
    }
  }
}

// Every translated example parses as JSON, and the codec example uses the
// identity tables the test runs with.
TEST_F(ProtocolDoc, ExamplesAreJsonAndTheCodecRunsWithIdentityTables) {
  ASSERT_FALSE(examples.empty());
  for (const DocExample& ex : examples)
    if (ex.Fence == "json") {
      boost::system::error_code ec;
      boost::json::parse(ex.Text, ec);
      EXPECT_FALSE(ec) << "line " << ex.Line << " is not JSON";
    }
  const TCodecTables& t = CurrentCodecTables();
  const TCodecTables identity = DefaultCodecTables();
  EXPECT_EQ(t.EncodeBitMasks, identity.EncodeBitMasks);
  EXPECT_EQ(t.n4CEEF4 | t.n4CEEF8 | t.n4CEEFC | t.w4CEF00, 0);
}

// The close-code table lists every code with the reason the gateway sends.
TEST_F(ProtocolDoc, CloseCodesAreTheOnesTheGatewaySends) {
  using enum ECloseCode;
  for (ECloseCode code :
       {Normal, GoingAway, InvalidUtf8, TooBig, ServiceRestart, TryAgainLater, LoginTimeout,
        LoginRefused, Kicked, AddressLimit, NoFreeSession, SlowConsumer}) {
    // Beast fails an invalid text message itself, without a reason.
    const std::string reason =
        code == InvalidUtf8 ? "(none)" : "`" + std::string(CloseReason(code)) + "`";
    const std::string row = "| " + std::to_string(static_cast<int>(code)) + " | " + reason + " |";
    EXPECT_NE(doc.find(row), std::string::npos) << row;
  }
}

// The operators' table in the README and the developers' in the document
// list the same codes with the same reasons, in the same order.
TEST_F(ProtocolDoc, TheReadmesCloseCodesAreTheDocuments) {
  const std::vector<std::string> rows = CloseCodeRows(doc);
  const std::vector<std::string> readme = CloseCodeRows(ReadFile(TAVREL_README));
  ASSERT_GE(rows.size(), 10u) << "no close-code table in " TAVREL_PROTOCOL_DOC;
  EXPECT_EQ(readme, rows);
  EXPECT_TRUE(std::is_sorted(
      rows.begin(), rows.end(),
      [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); }));
}

TEST_F(ProtocolDoc, NamesTheCurrentProtocolVersion) {
  EXPECT_NE(doc.find("Protocol version: " + std::string(kProtocolVersion)), std::string::npos);
  EXPECT_NE(doc.find("## Changelog"), std::string::npos);
}

// The reader itself: examples are found with their values, and a document
// without any example is not a pass.
TEST(ProtocolDocReader, FindsExamplesAndTheirValues) {
  int nJson = 0;
  const std::vector<DocExample> found = samples::ReadDocExamples(
      "text\n<!-- example SM_DAMAGE: sUserID=\"Two words\" nType=3\n  nPower=-1 -->\n```json\n"
      "{\"a\":1}\n```\n<!-- a remark -->\n```json\n{}\n```\n",
      &nJson);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Line, 2);
  EXPECT_EQ(found[0].Name, "SM_DAMAGE");
  EXPECT_EQ(found[0].Text, "{\"a\":1}");
  EXPECT_EQ(found[0].Values.at("sUserID"), "Two words");
  EXPECT_EQ(found[0].Values.at("nPower"), "-1");
  EXPECT_EQ(nJson, 2);  // the second block is JSON no example covers
  const std::vector<DocExample> codec =
      samples::ReadDocExamples("<!-- codec: Recog=1 -->\n```text\nabc\n```\n", &nJson);
  ASSERT_EQ(codec.size(), 1u);
  EXPECT_EQ(codec[0].Kind, "codec");
  EXPECT_EQ(codec[0].Name, "");
  EXPECT_EQ(codec[0].Fence, "text");
  EXPECT_TRUE(samples::ReadDocExamples("# nothing here\n", &nJson).empty());
  EXPECT_THROW(samples::ReadDocExamples("<!-- example SM_DAMAGE: nType=3 -->\nno block\n", &nJson),
               std::runtime_error);
}

}  // namespace
