// The examples of docs/PROTOCOL.md as data: each is an HTML comment naming
// what it shows and the values it is built from, followed by a fenced block
// with the exact text:
//
//   <!-- example SM_DAMAGE: sUserID="Hero" nType=3 nPower=1250 -->
//   ```json
//   {"UserID":"Hero","Id":3,"Power":1250}
//   ```
//
// The kinds: "example IDENT" (a translated message: the record built from
// the values as the game server sends it), "notice" (a text notice the
// gateway composes), "request CM_SPELL" (a spell body and the record fields
// it must give), "codec" (a TDefaultMessage and its 48 characters under the
// identity tables) and "frame IDENT" (a gate frame in hex). Values are
// name=value pairs separated by blanks, a value quoted when it holds blanks;
// names are record field paths (any field of the record's description in
// RecordTable.h), "[i]." addresses the i-th record of a list body, "msg." the
// message header. Every value must be used.
//
// The protocol document's tests, the conformance kit and the test game
// server's send-example command all build their messages here, so the
// document, the kit and what a client sees cannot drift apart.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Grobal2.h"
#include "translate/RecordTable.h"

namespace samples {

using DocValues = std::map<std::string, std::string, std::less<>>;

struct DocExample {
  int Line = 0;      // of the comment
  std::string Kind;  // example, notice, request, codec, frame
  std::string Name;  // SM_DAMAGE, CM_SPELL, GM_OPEN, ...; empty for codec
  DocValues Values;
  std::string Text;   // the fenced block, without its final line break
  std::string Fence;  // json or text
};

// The examples of a document, in order; JsonFences counts every ```json
// block, example or not. Throws on a malformed example.
std::vector<DocExample> ReadDocExamples(std::string_view Doc, int* JsonFences = nullptr);

// docs/PROTOCOL.md as it was when the program was built.
std::string_view ProtocolDocument();

// The values of one example, taken as they are used; whatever is left
// unused is an error in the example.
class ExampleValues {
 public:
  explicit ExampleValues(DocValues Values) : values_(std::move(Values)) {}

  std::string Take(std::string_view Name);
  int64_t TakeInt(std::string_view Name);
  // The record with every value named Prefix + field; the others stay 0.
  TDefaultMessage Header(std::string_view Prefix = {});
  // The body of a translated ident as the game server sends it.
  std::string Body(std::string_view Ident);
  // The names left, each after a blank; empty when every value was used.
  std::string Unused() const;

  // The bytes of the record that `Info` describes, with every value named
  // Prefix + field path ("Name", "icons[1].iX") set; the other bytes 0. The
  // records "[0].", "[1]." ... of a list, and the plain values "[0]", "[1]"
  // ... of a list of texts.
  std::string Record(const TRecordInfo& Info, std::string_view Prefix = {});
  std::vector<std::string> List(const TRecordInfo& Info);
  std::vector<std::string> Texts();

 private:
  size_t Count() const;
  // Takes each value named Prefix + name for which set(name, value) is true.
  template <typename Set>
  void TakeFields(std::string_view Prefix, Set&& set);

  DocValues values_;
};

// Whether the document can build a body for the ident.
bool HasBodyBuilder(std::string_view Ident);

// A translated message as the game server sends it. Broadcast: the gateway
// converts the ident only in GM_SENDREFMSG, so that is how it is sent.
struct ExampleMessage {
  std::string Name;
  TDefaultMessage Header{};
  std::string Body;
  bool Broadcast = false;
};

// The message of an "example IDENT"; throws for an ident the gateway does
// not convert and for a value no field takes.
ExampleMessage BuildExample(const DocExample& Example);
// The message of the document's first example of the ident; throws when
// there is none.
ExampleMessage BuildExample(std::string_view Ident);
// The names of the document's translated examples, in order, once each.
std::vector<std::string> ExampleNames();

// What the client receives for the message: the 48-character record with
// the nLength (and nIsZlib) the gateway sets, then the converted body.
std::string ClientBytes(const ExampleMessage& Message);
// The converted body as the client decodes it, before any compression:
// UTF-8 JSON.
std::string ClientJson(const ExampleMessage& Message);

}  // namespace samples
