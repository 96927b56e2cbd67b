// The demo page around tavrel-client.js: takes the deployment's codec tables
// from the console that serves it, connects, logs in, sends the buttons'
// requests and lists every message received with its header and its body
// decoded (inflated first when nIsZlib is 1).
import {
  TCodec, TGateClient, fetchCodecTables, CM_LOGINNOTICEOK, CM_WALK, CM_SPELL,
} from './tavrel-client.js';

const $ = (id) => document.getElementById(id);

const IDENT_NAMES = {
  1: '(refused)', 3: 'SM_CLIENTCONFIG', 6: 'SM_RUSH', 9: 'SM_BACKSTEP', 10: 'SM_TURN', 14: 'SM_HIT',
  17: 'SM_SPELL', 28: 'SM_MOVEFAIL', 31: 'SM_STRUCK', 36: 'SM_MAGICCON', 40: 'SM_HEAR',
  42: 'SM_USERNAME', 50: 'SM_LOGON', 52: 'SM_ABILITY', 57: 'SM_KICK', 100: 'SM_SYSMESSAGE',
  200: 'SM_ADDITEM', 201: 'SM_BAGITEMS', 202: 'SM_DELITEM', 203: 'SM_UPDATEITEM', 301: 'SM_BAGITEMS1',
  311: 'SM_ICONSUPDATE', 610: 'SM_ITEMSHOW', 611: 'SM_ITEMHIDE', 621: 'SM_SENDUSEITEMS',
  634: 'SM_CHANGEMAP', 638: 'SM_MAGICFIRE', 643: 'SM_MERCHANTSAY', 804: 'SM_SHOWEVENT',
  805: 'SM_HIDEEVENT', 811: 'SM_ADJUST_BONUS', 829: 'SM_GUILD_MEMBER_INFO', 873: 'SM_NEWMAIL',
  881: 'SM_DAMAGE', 3078: 'SM_SENDHEROUSEITEMS', 3082: 'SM_HEROBAGITEMS', 3086: 'SM_HEROABILITY',
  5020: 'SM_BUFF', 5021: 'SM_CHANGESKILLCD', 5037: 'SM_NEWITEMDROPMSG', 6097: 'SM_PLAYSOUND',
  6901: 'SM_SCENESHAKE', 9999: 'SM_CONFIRM', 51002: 'GM_FILTERMSG',
};

const token = new URLSearchParams(location.search).get('token');
let client = null;
let tables = null;

function setState(text) {
  $('state').textContent = text;
}

function setConnected(on) {
  for (const id of ['noticeOk', 'walk', 'spell', 'disconnect']) $(id).disabled = !on;
  $('connect').disabled = on;
}

function addEntry(className, summary, bodyText, data = {}) {
  const item = document.createElement('li');
  item.className = className;
  Object.assign(item.dataset, data);
  item.append(summary);
  if (bodyText) {
    const pre = document.createElement('pre');
    pre.textContent = bodyText;
    item.append(pre);
  }
  $('messages').append(item);
  item.scrollIntoView({ block: 'nearest' });
}

function showMessage({ header: h, json, text, raw, inflatedLength, error }) {
  const name = IDENT_NAMES[h.Ident] ?? '';
  const summary = `← ${h.Ident} ${name} Recog=${h.Recog} Param=${h.Param} Tag=${h.Tag} `
    + `Series=${h.Series} nSessionID=${h.nSessionID} nIsZlib=${h.nIsZlib} nLength=${h.nLength} `
    + `nIndex=${h.nIndex}${h.nIsZlib === 1 ? ` (inflated ${inflatedLength} bytes)` : ''}`;
  let body = '';
  if (error) body = `cannot read the body: ${error}`;
  else if (json !== null) body = JSON.stringify(json, null, 2);
  else if (text) body = text;
  else if (raw) body = `raw: ${raw}`;
  addEntry('received', summary, body, {
    ident: String(h.Ident), zlib: String(h.nIsZlib), json: json !== null ? 'yes' : 'no',
  });
}

function sent(text) {
  addEntry('sent', `→ ${text}`, '');
}

async function loadTables() {
  tables = await fetchCodecTables(location.href, token);
  if (!$('gateUrl').value) {
    const scheme = tables.tls ? 'wss' : 'ws';
    $('gateUrl').value = `${scheme}://${location.hostname}:${tables.gatePort}/`;
  }
}

async function connect() {
  setConnected(true);
  try {
    if (!tables) await loadTables();
    client = new TGateClient($('gateUrl').value, new TCodec(tables));
    client.addEventListener('message', (e) => showMessage(e.detail));
    client.addEventListener('text', (e) => addEntry('received', `← #${e.detail.text}!`, '', { text: 'yes' }));
    client.addEventListener('close', (e) => {
      setState(`Closed (${e.detail.code})`);
      setConnected(false);
    });
    setState('Connecting…');
    await client.connect();
    const account = $('account').value;
    const name = $('charName').value;
    const userId = $('userId').value;
    client.login(account, name, userId);
    sent(`login *#${account}/${name}/${userId}/1/0/0/0/0/0/0`);
    setState(`Logged in as ${account}/${name}/${userId}`);
  } catch (err) {
    setState(`Failed: ${err.message}`);
    setConnected(false);
  }
}

function setUp() {
  $('connect').addEventListener('click', connect);
  $('disconnect').addEventListener('click', () => client?.close());
  $('noticeOk').addEventListener('click', () => {
    client.loginNoticeOk();
    sent(`${CM_LOGINNOTICEOK} CM_LOGINNOTICEOK`);
  });
  $('walk').addEventListener('click', () => {
    const x = Number($('walkX').value);
    const y = Number($('walkY').value);
    const dir = Number($('walkDir').value);
    client.walk(x, y, dir, x - 1, y);
    sent(`${CM_WALK} CM_WALK to ${x},${y} dir ${dir}`);
  });
  $('spell').addEventListener('click', () => {
    const spell = {
      skillID: Number($('skillId').value), dir: Number($('walkDir').value),
      srcX: Number($('walkX').value), srcY: Number($('walkY').value),
      destX: Number($('walkX').value) + 2, destY: Number($('walkY').value), targetID: $('targetId').value,
    };
    client.spell(spell);
    sent(`${CM_SPELL} CM_SPELL ${JSON.stringify(spell)}`);
  });
  loadTables().catch((err) => setState(`No codec tables: ${err.message}`));
}

setUp();
