// tavrel-idents: writes web/client/idents.js, the browser client's copy of
// the ident lists and of which server messages the gateway turns into JSON;
// the ident reference table and the record layouts of docs/PROTOCOL.md; and
// in tavrel-client.d.ts the typed Idents and the types of the translated
// JSON, from the gateway's own tables and record descriptions.
//
//   tavrel-idents                      print idents.js
//   tavrel-idents --write FILE         rewrite idents.js
//   tavrel-idents --check FILE         exit 1 when FILE differs from what would be written
//   tavrel-idents --table              print the reference table
//   tavrel-idents --write-doc FILE     rewrite the table and layouts in the protocol document
//   tavrel-idents --check-doc FILE     exit 1 when the document's table or layouts are stale
//   tavrel-idents --write-types FILE   rewrite the typed Idents and JSON in tavrel-client.d.ts
//   tavrel-idents --check-types FILE   exit 1 when the declarations' generated parts are stale
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Grobal2.h"
#include "traffic/Pacing.h"
#include "translate/ActorRecords.h"
#include "translate/ConvertTable.h"
#include "translate/ItemRecords.h"

namespace {

constexpr std::string_view kTableBegin =
    "<!-- ident table: written by tavrel-idents --write-doc from the ident lists and the "
    "converter table; do not edit -->\n";
constexpr std::string_view kTableEnd = "<!-- end of the ident table -->\n";
constexpr std::string_view kTypesBegin =
    "// Idents: written by tavrel-idents --write-types from the ident lists; do not edit.\n";
constexpr std::string_view kTypesEnd = "// End of the generated Idents.\n";
constexpr std::string_view kJsonBegin =
    "// Translated JSON: written by tavrel-idents --write-types from the record descriptions "
    "and the converter table; do not edit.\n";
constexpr std::string_view kJsonEnd = "// End of the generated translated JSON.\n";
constexpr std::string_view kLayoutsBegin =
    "<!-- record layouts: written by tavrel-idents --write-doc from the record descriptions; do "
    "not edit -->\n";
constexpr std::string_view kLayoutsEnd = "<!-- end of the record layouts -->\n";

// What the gateway itself does with an ident, where no table says it.
struct TIdentRole {
  int32_t nValue;
  const char* sRole;
};
constexpr TIdentRole kClientRoles[] = {
    {CM_LOGINNOTICEOK, "enters the game; passed on"},
    {CM_H5BACKXY, "sent by the gateway itself: put a punished player back"},
    {CM_HEART, "passed on, also during a punishment"},
};
constexpr TIdentRole kServerRoles[] = {
    {SM_CLIENTCONFIG, "withheld: never reaches the client"},
    {SM_RUSH, "its body is compared with the login's user id"},
    {SM_BACKSTEP, "its body is compared with the login's user id"},
    {SM_MOVEFAIL, "also composed by the gateway: a refused step"},
    {SM_KICK, "closes the connection (4002) after what came before it"},
    {SM_SYSMESSAGE, "also composed by the gateway: a notice"},
    {SM_CONFIRM, "also composed by the gateway: a refused spell"},
    {SM_CHANGESKILLCD, "also changes the gateway's cooldown of the skill"},
};
constexpr TIdentRole kGateRoles[] = {
    {GM_OPEN, "gateway → game server: a session begins"},
    {GM_CLOSE, "both ways: a session ends"},
    {GM_CHECKSERVER, "game server → gateway: keep-alive, noted for the status; no answer"},
    {GM_CHECKCLIENT, "gateway → game server: keep-alive every 2 s; no answer expected"},
    {GM_DATA, "game server → gateway: a message or text line for one user"},
    {GM_SERVERUSERINDEX, "game server → gateway: the session's user index"},
    {GM_RECEIVE_OK, "both ways: answered in kind"},
    {GM_SENDMSG, "game server → gateway: a message for every player"},
    {GM_SENDREFMSG, "game server → gateway: a message for a list of sessions"},
    {GM_SENDGUILDMSG, "game server → gateway: a message for a guild"},
    {GM_SENDMAGICINFO, "game server → gateway: the spell configuration"},
    {GM_H5DATA, "gateway → game server: a client message"},
};
constexpr TIdentRole kGatewayRoles[] = {
    {GM_SPEED, "in GM_DATA: pacing settings, withheld from the client"},
    {GM_FILTERMSG, "in GM_DATA: broadcast filter groups, passed on"},
};

std::string RoleOf(std::span<const TIdentRole> roles, int32_t nValue) {
  for (const TIdentRole& r : roles)
    if (r.nValue == nValue) return r.sRole;
  return "";
}

std::optional<TConvertRow> RowOf(int32_t nIdent) {
  for (const TConvertRow& row : ConvertRows())
    if (row.nIdent == nIdent) return row;
  return std::nullopt;
}

// What the client reads of an SM_ message's body on one path.
std::string ClientBody(const std::optional<TConvertRow>& row, uint8_t path) {
  if (!row || !(row->nPaths & path)) return "as sent";
  return row->Form == TBodyForm::Json ? "JSON" : "text";
}

std::string IdentTable() {
  std::string out(kTableBegin);
  out +=
      "\n| ident | value | family | per user (`GM_DATA`) | broadcast (`GM_SENDREFMSG`) | the "
      "gateway |\n";
  out += "|---|---|---|---|---|---|\n";
  const auto row = [&out](const TIdentName& ident, const char* family, const std::string& perUser,
                          const std::string& broadcast, const std::string& role) {
    out += "| `" + std::string(ident.sName) + "` | " + std::to_string(ident.nValue) + " | " +
           family + " | " + perUser + " | " + broadcast + " | " + role + " |\n";
  };
  for (const TIdentName& ident : kClientIdentNames) {
    const EPaceKind kind = PaceKindOf(ident.nValue);
    std::string role = RoleOf(kClientRoles, ident.nValue);
    if (kind != EPaceKind::Other) role = std::string("paced (") + PaceKindName(kind) + ")";
    if (kind == EPaceKind::Hit || kind == EPaceKind::Spell)
      role += "; its JSON body becomes the record";
    row(ident, "client request", "—", "—", role);
  }
  for (const TIdentName& ident : kServerIdentNames) {
    const std::optional<TConvertRow> convert = RowOf(ident.nValue);
    row(ident, "server message", ClientBody(convert, kPerUser), ClientBody(convert, kBroadcast),
        RoleOf(kServerRoles, ident.nValue));
  }
  for (const TIdentName& ident : kGatewayIdentNames)
    row(ident, "gateway message", "—", "—", RoleOf(kGatewayRoles, ident.nValue));
  for (const TIdentName& ident : kGateIdentNames) {
    const std::string role = RoleOf(kGateRoles, ident.nValue);
    row(ident, "gate frame", "—", "—", role.empty() ? "ignored when received" : role);
  }
  out += "\n";
  out += kTableEnd;
  return out;
}

// ---------------------------------------------------------------------------
// Record layouts and the client's JSON types, from the record descriptions.

void AddRecord(const TRecordInfo* rec, std::vector<const TRecordInfo*>& out) {
  if (std::find(out.begin(), out.end(), rec) != out.end()) return;
  out.push_back(rec);
  for (const TFieldInfo& f : rec->Fields)
    if (f.pRecord) AddRecord(f.pRecord, out);
}

// Every described record the gateway reads: the rows' records, each followed
// by the records nested in it.
std::vector<const TRecordInfo*> Records() {
  std::vector<const TRecordInfo*> out;
  for (const TConvertRow& row : ConvertRows())
    if (row.pRecord) AddRecord(row.pRecord, out);
  return out;
}

// A record that only views the message header or a decimal has no layout of
// its own on the wire.
bool OnTheWire(const TRecordInfo* rec) {
  for (const TConvertRow& row : ConvertRows())
    if (row.pRecord == rec)
      return row.Shape != TBodyShape::Header && row.Shape != TBodyShape::DecimalList;
  return true;
}

const char* ShapeName(TBodyShape shape) {
  switch (shape) {
    case TBodyShape::Record:
      return "binary";
    case TBodyShape::RecordText:
      return "6-bit text";
    case TBodyShape::RecordList:
      return "list";
    case TBodyShape::TextList:
      return "item list";
    case TBodyShape::Parts:
      return "6-bit parts";
    case TBodyShape::DecimalList:
      return "decimal list";
    case TBodyShape::Header:
      return "header";
    default:
      return "own";
  }
}

// The messages whose bodies carry the record, as "`SM_HIT` (broadcast, 6-bit text)".
std::string CarriedBy(const TRecordInfo* rec) {
  std::string out;
  const auto add = [&out](int32_t nIdent, const std::string& how) {
    if (!out.empty()) out += ", ";
    // Appended piece by piece: GCC 12 warns falsely about "`" + string + ...
    out += '`';
    out += FindIdentName(kServerIdentNames, nIdent);
    out += "` (";
    out += how;
    out += ')';
  };
  for (const TConvertRow& row : ConvertRows())
    if (row.pRecord == rec)
      add(row.nIdent,
          std::string(row.nPaths == kBroadcast ? "broadcast, " : "") + ShapeName(row.Shape));
  return out;
}

std::string WireLabel(const TFieldInfo& f) {
  // By EWireType, in its order.
  static constexpr const char* kLabels[] = {"u8",  "i8",  "u16", "i16", "i32",
                                            "u32", "i64", "u64", "bool"};
  std::string one;
  if (f.Type == EWireType::Text)
    one = "text " + std::to_string(f.nCapacity);
  else if (f.Type == EWireType::Record)
    one = "`" + std::string(f.pRecord->sName) + "`";
  else
    one = kLabels[static_cast<size_t>(f.Type)];
  return f.nCount > 1 ? std::to_string(f.nCount) + " × " + one : one;
}

// "0 `sUserID` text 50; 51 `nType` u16; 53 `nPower` i64", fields of one type
// in a row named together.
std::string FieldLine(const TRecordInfo& rec) {
  std::string out;
  for (size_t i = 0; i < rec.Fields.size(); ++i) {
    const TFieldInfo& f = rec.Fields[i];
    const std::string label = WireLabel(f);
    out += std::to_string(f.nOffset) + " `" + std::string(f.sField) + "`";
    const bool sameNext = i + 1 < rec.Fields.size() && f.nCount == 1 &&
                          f.Type != EWireType::Record && WireLabel(rec.Fields[i + 1]) == label;
    out += sameNext ? ", " : " " + label + (i + 1 < rec.Fields.size() ? "; " : ".");
  }
  return out;
}

std::string RecordLayouts() {
  std::string out(kLayoutsBegin);
  out += "\n";
  for (const TRecordInfo* rec : Records()) {
    if (!OnTheWire(rec)) continue;
    out += "- `" + std::string(rec->sName) + "`, " + std::to_string(rec->nSize) + " bytes";
    const std::string carried = CarriedBy(rec);
    if (!carried.empty()) out += ", in " + carried;
    out += ": " + FieldLine(*rec) + "\n";
  }
  out += "\n";
  out += kLayoutsEnd;
  return out;
}

std::string TsNote(std::string_view note) {
  return "  /** " + std::string(note) + " */\n";
}

// The interface of a record's JSON object: its members in their order.
std::string RecordInterface(const TRecordInfo& rec) {
  std::string out = "/** The JSON object of `" + std::string(rec.sName) + "`";
  const std::string carried = CarriedBy(&rec);
  if (!carried.empty()) out += ", in " + carried;
  out += ". */\nexport interface " + std::string(rec.sTsName) + " {\n";
  for (const TMemberInfo& m : rec.Members) {
    std::string_view type;
    bool optional = false;
    if (m.pField) {
      const TFieldInfo& f = *m.pField;
      type = f.Class == EJsonClass::Text     ? "string"
             : f.Class == EJsonClass::Object ? f.pRecord->sTsName
                                             : "number";
      optional = f.When != EWhen::Always;
      if (f.When == EWhen::NonZero) out += TsNote("Left out when 0.");
      if (f.When == EWhen::Positive) out += TsNote("Left out when 0 or less.");
      if (f.When == EWhen::NotEmpty) out += TsNote("Left out when empty.");
    } else {
      type = m.pLogic->sTsType;
      optional = m.pLogic->bOptional;
      if (!m.pLogic->sNote.empty()) out += TsNote(m.pLogic->sNote);
    }
    out += "  " + std::string(m.sMember) + (optional ? "?: " : ": ") + std::string(type) + ";\n";
  }
  out += "}\n";
  return out;
}

// The tuple type of a record written as an array: its members' values in
// their order, labelled with the members' names.
std::string RecordTuple(const TRecordInfo& rec) {
  std::string out = "/**\n * The JSON array of `" + std::string(rec.sName) + "`.\n";
  std::string elements;
  for (const TMemberInfo& m : rec.Members) {
    std::string_view type;
    if (m.pField) {
      type = m.pField->Class == EJsonClass::Text ? "string" : "number";
    } else {
      type = m.pLogic->sTsType;
      if (!m.pLogic->sNote.empty())
        out += " * " + std::string(m.sMember) + ": " + std::string(m.pLogic->sNote) + "\n";
    }
    if (!elements.empty()) elements += ", ";
    elements += std::string(m.sMember) + ": " + std::string(type);
  }
  return out + " */\nexport type " + std::string(rec.sTsName) + " = [" + elements + "];\n";
}

std::string TranslatedTypes() {
  std::string out(kJsonBegin);
  for (const TRecordInfo* rec : Records())
    if (!rec->sTsName.empty() && !rec->Members.empty()) {
      out += '\n';
      out += rec->bTuple ? RecordTuple(*rec) : RecordInterface(*rec);
    }
  out += "\n/** The JSON body of each translated ident. */\nexport interface TranslatedJson {\n";
  for (const TConvertRow& row : ConvertRows())
    if (row.Form == TBodyForm::Json)
      out += "  " + std::string(FindIdentName(kServerIdentNames, row.nIdent)) + ": " +
             ClientType(row) + ";\n";
  out += "}\n";
  out += kJsonEnd;
  return out;
}

std::optional<std::string> ReadFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A file with a generated block between two marker lines.
struct TBlock {
  std::string_view sBegin;
  std::string_view sEnd;
  std::string sText;    // with its markers
  const char* sWhat;    // for messages
  const char* sTarget;  // the build target that rewrites it
};

// The file with its block replaced; nullopt when it has none.
std::optional<std::string> WithBlock(const std::string& doc, const TBlock& block) {
  const size_t begin = doc.find(block.sBegin);
  const size_t end = doc.find(block.sEnd, begin == std::string::npos ? 0 : begin);
  if (begin == std::string::npos || end == std::string::npos) return std::nullopt;
  return doc.substr(0, begin) + block.sText + doc.substr(end + block.sEnd.size());
}

// Every ident, in the order of idents.js.
constexpr std::span<const TIdentName> kFamilies[] = {kClientIdentNames, kServerIdentNames,
                                                     kGateIdentNames, kGatewayIdentNames};

// The declaration of Idents with each value as its literal type, so that a
// TypeScript client sees the values where it uses them.
std::string IdentsTypes() {
  std::string out(kTypesBegin);
  out += "/** Every CM_, SM_ and GM_ ident by name with its value (idents.js). */\n";
  out += "export declare const Idents: Readonly<{\n";
  for (std::span<const TIdentName> family : kFamilies)
    for (const TIdentName& ident : family)
      out += "  " + std::string(ident.sName) + ": " + std::to_string(ident.nValue) + ";\n";
  out += "}>;\n";
  out += kTypesEnd;
  return out;
}

std::string IdentsJs() {
  std::string out = "// Generated by tavrel-idents from src/protocol; do not edit.\n";
  out += "export const Idents = Object.freeze({ ";
  bool first = true;
  for (std::span<const TIdentName> family : kFamilies)
    for (const TIdentName& ident : family) {
      if (!first) out += ", ";
      first = false;
      out += ident.sName;
      out += ": ";
      out += std::to_string(ident.nValue);
    }
  out += " });\n";
  out += "export const TranslatedIdents = Object.freeze([";
  first = true;
  for (const TConvertRow& row : ConvertRows()) {
    if (row.Form != TBodyForm::Json) continue;
    if (!first) out += ", ";
    first = false;
    out += '"';
    out += FindIdentName(kServerIdentNames, row.nIdent);
    out += '"';
  }
  out += "]);  // SM_ idents the gateway turns into JSON\n";
  return out;
}

int Usage() {
  std::fputs(
      "usage: tavrel-idents [--write FILE | --check FILE | --table | --write-doc FILE | "
      "--check-doc FILE | --write-types FILE | --check-types FILE]\n",
      stderr);
  return 2;
}

int WriteFile(const char* path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) {
    std::fprintf(stderr, "tavrel-idents: cannot write %s\n", path);
    return 1;
  }
  return 0;
}

int Block(bool check, const char* path, std::initializer_list<TBlock> blocks) {
  const std::optional<std::string> doc = ReadFile(path);
  if (!doc) {
    std::fprintf(stderr, "tavrel-idents: cannot read %s\n", path);
    return 1;
  }
  std::string fresh = *doc;
  for (const TBlock& block : blocks) {
    const std::optional<std::string> with = WithBlock(fresh, block);
    if (!with) {
      std::fprintf(stderr, "tavrel-idents: %s has no %s between its markers\n", path, block.sWhat);
      return 1;
    }
    if (check && *with != fresh) {
      std::fprintf(stderr,
                   "tavrel-idents: the %s of %s is not what the tables give now; rewrite it "
                   "with `cmake --build --preset release --target %s`\n",
                   block.sWhat, path, block.sTarget);
      return 1;
    }
    fresh = *with;
  }
  return check ? 0 : WriteFile(path, fresh);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string js = IdentsJs();
  if (argc == 1) {
    std::fwrite(js.data(), 1, js.size(), stdout);
    return 0;
  }
  if (argc == 2 && std::string_view(argv[1]) == "--table") {
    const std::string table = IdentTable();
    std::fwrite(table.data(), 1, table.size(), stdout);
    return 0;
  }
  if (argc != 3) return Usage();
  const std::string_view mode = argv[1];
  const char* path = argv[2];
  if (mode == "--write-doc" || mode == "--check-doc")
    return Block(
        mode == "--check-doc", path,
        {{kTableBegin, kTableEnd, IdentTable(), "ident table", "protocol-table"},
         {kLayoutsBegin, kLayoutsEnd, RecordLayouts(), "record layouts", "protocol-table"}});
  if (mode == "--write-types" || mode == "--check-types")
    return Block(mode == "--check-types", path,
                 {{kTypesBegin, kTypesEnd, IdentsTypes(), "typed Idents", "idents-js"},
                  {kJsonBegin, kJsonEnd, TranslatedTypes(), "translated JSON types", "idents-js"}});
  if (mode == "--write") return WriteFile(path, js);
  if (mode == "--check") {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream current;
    if (file) current << file.rdbuf();
    if (!file || current.str() != js) {
      std::fprintf(stderr,
                   "tavrel-idents: %s is not what the ident tables give now; rewrite it with "
                   "`cmake --build --preset release --target idents-js`\n",
                   path);
      return 1;
    }
    return 0;
  }
  return Usage();
}
