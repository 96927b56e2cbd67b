// The demo page around the client module (../client/tavrel-client.js): takes
// the deployment's codec tables from the console that serves it, connects,
// logs in, sends the buttons' requests and lists every message received with
// its header and its body decoded (inflated first when nIsZlib is 1).
import {
  Idents, TGateClient, fetchCodecTables, serverIdentName,
} from '../client/tavrel-client.js';

const { CM_LOGINNOTICEOK, CM_WALK, CM_SPELL } = Idents;

const $ = (id) => document.getElementById(id);

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
  const name = serverIdentName(h.Ident);
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
    client = new TGateClient($('gateUrl').value, { tables });
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
