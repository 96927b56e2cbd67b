// tavrel-idents: writes web/client/idents.js, the browser client's copy of
// the ident lists and of which server messages the gateway turns into JSON,
// and the ident reference table of docs/PROTOCOL.md, from the gateway's own
// tables.
//
//   tavrel-idents                      print idents.js
//   tavrel-idents --write FILE         rewrite idents.js
//   tavrel-idents --check FILE         exit 1 when FILE differs from what would be written
//   tavrel-idents --table              print the reference table
//   tavrel-idents --write-doc FILE     rewrite the table in the protocol document
//   tavrel-idents --check-doc FILE     exit 1 when the document's table is stale
//   tavrel-idents --write-types FILE   rewrite the typed Idents in tavrel-client.d.ts
//   tavrel-idents --check-types FILE   exit 1 when the declarations' Idents are stale
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "protocol/Grobal2.h"
#include "traffic/Pacing.h"
#include "translate/ConvertTable.h"

namespace {

constexpr std::string_view kTableBegin =
    "<!-- ident table: written by tavrel-idents --write-doc from the ident lists and the "
    "converter table; do not edit -->\n";
constexpr std::string_view kTableEnd = "<!-- end of the ident table -->\n";
constexpr std::string_view kTypesBegin =
    "// Idents: written by tavrel-idents --write-types from the ident lists; do not edit.\n";
constexpr std::string_view kTypesEnd = "// End of the generated Idents.\n";

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

int Block(bool check, const char* path, const TBlock& block) {
  const std::optional<std::string> doc = ReadFile(path);
  const std::optional<std::string> fresh = doc ? WithBlock(*doc, block) : std::nullopt;
  if (!fresh) {
    std::fprintf(stderr, "tavrel-idents: %s has no %s between its markers\n", path, block.sWhat);
    return 1;
  }
  if (check) {
    if (*fresh == *doc) return 0;
    std::fprintf(stderr,
                 "tavrel-idents: the %s of %s is not what the tables give now; rewrite it with "
                 "`cmake --build --preset release --target %s`\n",
                 block.sWhat, path, block.sTarget);
    return 1;
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << *fresh;
  file.close();
  if (!file) {
    std::fprintf(stderr, "tavrel-idents: cannot write %s\n", path);
    return 1;
  }
  return 0;
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
    return Block(mode == "--check-doc", path,
                 {kTableBegin, kTableEnd, IdentTable(), "ident table", "protocol-table"});
  if (mode == "--write-types" || mode == "--check-types")
    return Block(mode == "--check-types", path,
                 {kTypesBegin, kTypesEnd, IdentsTypes(), "typed Idents", "idents-js"});
  if (mode == "--write") {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << js;
    file.close();
    if (!file) {
      std::fprintf(stderr, "tavrel-idents: cannot write %s\n", path);
      return 1;
    }
    return 0;
  }
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
