#include "TcpInfo.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

int64_t DataSegmentsIn(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  return info.tcpi_data_segs_in;
}
