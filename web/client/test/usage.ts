// Compiled by the type check only: the declarations describe the module as
// a client uses it.
import {
  DROP_CODE, Idents, RESUME_REFUSED, TRY_AGAIN_LATER, TCodec, TGateClient, TranslatedIdents, type TCharDescJson,
  type TClock, type TItemExtendJson, type TItemJson, type TranslatedJson, type TranslatedIdentName,
  serverIdentName,
} from '../tavrel-client.js';

const codec = new TCodec({ EncodeBitMasks: new Uint8Array(256), n4CEEF8: 1 });
const client = new TGateClient('wss://game.example/', { codec, maxBody: 1 << 20 });

function isTranslated(name: string): name is TranslatedIdentName {
  return (TranslatedIdents as readonly string[]).includes(name);
}

client.addEventListener('message', (e) => {
  const name = serverIdentName(e.detail.header.Ident);
  if (name === 'SM_LOGON') {
    const actor = e.detail.json as TranslatedJson['SM_LOGON'];
    const [userId, actorName] = actor.info;
    const level: number = actor.data[0];
    console.log(userId, actorName, level, actor.guild?.[1] ?? '', actor.title?.t1);
  } else if (name === 'SM_BAGITEMS') {
    for (const item of e.detail.json as TItemJson[]) {
      const ext = JSON.parse(item.ExtendInfo) as TItemExtendJson;
      console.log(item.makeindex, ext.LH0?.[1], item.values.map((v) => v.Value));
    }
  } else if (isTranslated(name)) {
    console.log(name, e.detail.inflatedLength);
  }
});
client.addEventListener('close', (e) => console.log(e.detail.code, e.detail.reason));

const clock: TClock = {
  now: () => Date.now(),
  setTimeout: (fn, ms) => setTimeout(fn, ms),
  clearTimeout: (id) => clearTimeout(id as ReturnType<typeof setTimeout>),
};
const resuming = new TGateClient('wss://game.example/', {
  codec, resume: { giveUpAfterMs: 120000 }, clock, random: () => 0.5,
});
resuming.addEventListener('reconnecting', (e) => console.log(e.detail.attempt, e.detail.delayMs));
resuming.addEventListener('resumed', (e) => {
  console.log(e.detail.attempt, e.detail.received, resuming.received, resuming.resumeToken?.length);
  resuming.loginNoticeOk();
});
resuming.addEventListener('resumerefused', (e) => {
  if (e.detail.code === RESUME_REFUSED) console.log('log in again:', e.detail.reason);
});
if (resuming.state === 'open' && !resuming.walk(1, 2, 3)) console.log('dropped while reconnecting');
const patient = new TGateClient('wss://game.example/', { codec, retryUnavailable: { giveUpAfterMs: 300000 } });
patient.addEventListener('retrying', (e) => {
  if (e.detail.code === TRY_AGAIN_LATER) console.log(e.detail.attempt, e.detail.delayMs, e.detail.reason);
});
const dropped: boolean = resuming.dropConnection(DROP_CODE, 'network switch');
console.log(dropped, new TGateClient('ws://127.0.0.1:7303/', { resume: true }).state);
client.addEventListener('error', (e) => console.log(e.detail.error.message));

async function run(): Promise<void> {
  await client.connect();
  client.login('account', 'name', 'U1');
  client.walk(1, 2, 3);
  client.spell({ skillID: 12, targetID: '8812' });
  client.send(Idents.CM_HEART);
  // Each ident's value is in its type: a switch over idents is checked.
  const heart: 60000 = Idents.CM_HEART;
  const damage: 881 = Idents.SM_DAMAGE;
  console.log(heart, damage);
  const desc: Partial<TCharDescJson> = {};
  console.log(codec.decodeMessage(codec.encodeString('x')).Ident, desc);
}
void run();
