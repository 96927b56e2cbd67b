#include "gamesim/FrameLog.h"

#include <cstring>
#include <string_view>

namespace gamesim {

std::string DescribeReceived(int Link, const Frame& F, const FrameEffect& Effect) {
  const TMsgHeader& h = F.Header;
  std::string line = "recv " + DescribeHeader(Link, h);
  switch (h.wIdent) {
    case GM_OPEN:
      line += " addr=" + EscapeText(F.Payload.substr(0, F.Payload.find('\0')));
      break;
    case GM_CLOSE:
      break;
    case GM_RECEIVE_OK:
      if (Effect.RttMs >= 0) line += " rtt=" + std::to_string(Effect.RttMs) + "ms";
      break;
    case GM_H5DATA: {
      if (Effect.NewLogin) {
        const LoginText& login = Effect.Login;
        line += " login idx=" + std::to_string(login.PacketIndex) +
                " account=" + EscapeText(login.Account) + " char=" + EscapeText(login.CharName) +
                " uid=" + EscapeText(login.UserId) + " text=" + EscapeText(login.Text);
      } else if (F.Payload.size() >= sizeof(TDefaultMessage)) {
        TDefaultMessage msg;
        std::memcpy(&msg, F.Payload.data(), sizeof(msg));
        std::string_view body = std::string_view(F.Payload).substr(sizeof(msg));
        if (!body.empty() && body.back() == '\0') body.remove_suffix(1);
        line += " msg " + DescribeMessage(msg) + " body=" + EscapeText(body);
      } else {
        line += " payload=" + EscapeText(F.Payload);
      }
      break;
    }
    default:
      if (!F.Payload.empty()) line += " payload=" + EscapeText(F.Payload);
      break;
  }
  return line;
}

}  // namespace gamesim
