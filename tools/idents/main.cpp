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

// The document with its table replaced by `table`; nullopt when it has no table.
std::optional<std::string> WithTable(const std::string& doc, const std::string& table) {
  const size_t begin = doc.find(kTableBegin);
  const size_t end = doc.find(kTableEnd, begin == std::string::npos ? 0 : begin);
  if (begin == std::string::npos || end == std::string::npos) return std::nullopt;
  return doc.substr(0, begin) + table + doc.substr(end + kTableEnd.size());
}

std::string IdentsJs() {
  std::string out = "// Generated by tavrel-idents from src/protocol; do not edit.\n";
  out += "export const Idents = Object.freeze({ ";
  bool first = true;
  for (std::span<const TIdentName> family : {std::span<const TIdentName>(kClientIdentNames),
                                             std::span<const TIdentName>(kServerIdentNames),
                                             std::span<const TIdentName>(kGateIdentNames),
                                             std::span<const TIdentName>(kGatewayIdentNames)})
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
      "--check-doc FILE]\n",
      stderr);
  return 2;
}

int Doc(std::string_view mode, const char* path) {
  const std::optional<std::string> doc = ReadFile(path);
  const std::optional<std::string> fresh = doc ? WithTable(*doc, IdentTable()) : std::nullopt;
  if (!fresh) {
    std::fprintf(stderr, "tavrel-idents: %s has no ident table between its markers\n", path);
    return 1;
  }
  if (mode == "--check-doc") {
    if (*fresh == *doc) return 0;
    std::fprintf(stderr,
                 "tavrel-idents: the ident table of %s is not what the tables give now; rewrite "
                 "it with `cmake --build --preset release --target protocol-table`\n",
                 path);
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
  if (mode == "--write-doc" || mode == "--check-doc") return Doc(mode, path);
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
