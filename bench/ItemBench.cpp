// A bag of 20 inventory items converted to the client's JSON list, next to
// the bare decoding of the same 20 item texts into records: the difference
// is what the JSON costs.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/EDcode.h"
#include "translate/ItemConvert.h"

namespace {

// Items as a bag holds them: a few values, a bar or sockets on some, two
// groups of extra abilities with GBK titles, a binding on every third.
std::vector<std::string> BagItemTexts() {
  std::vector<std::string> texts;
  for (int i = 0; i < 20; ++i) {
    TUserItem_Gate g;
    std::memset(&g, 0, sizeof g);
    TUserItem& it = g.Item;
    it.MakeIndex = 100000 + i;
    it.wIndex = 300 + i;
    it.Dura = 5000 + i;
    it.DuraMax = 7000;
    for (int v = 0; v < 4; ++v) it.IntValue[v * 3 + i % 3] = 5 + v * i;
    it.btWhere = static_cast<int8_t>(i % 13);
    it.nOverLap = 1;
    it.btAddVale[i % 20] = i + 1;
    TItemExtend& x = it.Ext.Info;
    if (i % 2 == 0) x.Sockets[i % 10] = 1;
    if (i % 4 == 0) {
      x.Bars[0].btOpenAndType = 0x83;
      x.Bars[0].wCur = 10;
      x.Bars[0].wMax = 100;
      x.Bars[0].Name.Assign("\xbb\xf0");  // 火
    }
    x.UpgradeCount = static_cast<uint8_t>(i % 5);
    if (i % 3 == 0) g.ItemBind.sBindName.Assign("\xcd\xc0\xc1\xfa");  // 屠龙
    TItemExAbilRec& ex = g.ExAbilRec;
    for (int k = 0; k < 2; ++k) {
      ex.Group[k].sTitle.Assign("\xcc\xd7\xd7\xb0");  // 套装
      ex.Group[k].nColor = 3;
      for (int j = 0; j < 2; ++j) {
        ex.Group[k].Attrs[j].nID = 10 + j;
        ex.Group[k].Attrs[j].nValue = 100 * (j + 1);
        ex.Group[k].Attrs[j].nPos = static_cast<uint16_t>(j);
      }
    }
    ex.sGName.Assign("Set");
    ex.NewAbil[0].nID = 1;
    ex.NewAbil[0].nValue = 5;
    texts.push_back(EncodeBuffer(&g, sizeof g));
  }
  return texts;
}

void BM_DecodeItems20(benchmark::State& state) {
  const std::vector<std::string> texts = BagItemTexts();
  TUserItem_Gate rec;
  for (auto _ : state) {
    for (const std::string& t : texts) {
      DecodeBuffer(t, &rec, sizeof rec);
      benchmark::DoNotOptimize(&rec);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * 20);
}

void BM_ConverItemList20(benchmark::State& state) {
  std::string body;
  for (const std::string& t : BagItemTexts()) body += t + "/";
  for (auto _ : state) benchmark::DoNotOptimize(ConverItemList(body));
  state.SetItemsProcessed(state.iterations() * 20);
}

}  // namespace

BENCHMARK(BM_DecodeItems20);
BENCHMARK(BM_ConverItemList20);
