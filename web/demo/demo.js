// The demo page around the client module (../client/tavrel-client.js): takes
// the deployment's codec tables from the console that serves it, connects,
// logs in, sends the buttons' requests and lists every message received with
// its header and its body decoded (inflated first when nIsZlib is 1), and
// the resume's steps when a connection is lost or dropped on purpose.
import {
  DROP_CODE, Idents, TGateClient, fetchCodecTables, serverIdentName,
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
  for (const id of ['noticeOk', 'walk', 'spell', 'drop', 'disconnect']) $(id).disabled = !on;
  $('connect').disabled = on;
  $('resume').disabled = on;
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
    ident: String(h.Ident), recog: String(h.Recog), zlib: String(h.nIsZlib), json: json !== null ? 'yes' : 'no',
  });
}

// `ok` is what send() returned: false while the client reconnects.
function sent(text, ok = true) {
  addEntry('sent', `→ ${text}${ok ? '' : ' (not sent: reconnecting)'}`, '');
}

function showEvent(event, text) {
  addEntry('event', `· ${text}`, '', { event });
  setState(text);
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
    client = new TGateClient($('gateUrl').value, { tables, resume: $('resume').checked });
    window.demoClient = client;  // to look at from the browser's console
    client.addEventListener('message', (e) => showMessage(e.detail));
    client.addEventListener('text', (e) => addEntry('received', `← #${e.detail.text}!`, '', { text: 'yes' }));
    client.addEventListener('reconnecting', ({ detail: d }) => {
      showEvent('reconnecting', `Connection lost: resume attempt ${d.attempt} in ${d.delayMs} ms`);
      $('drop').disabled = true;
    });
    client.addEventListener('resumed', ({ detail: d }) => {
      showEvent('resumed', `Resumed (attempt ${d.attempt}), the stream goes on from byte ${d.received}`);
      $('drop').disabled = false;
    });
    client.addEventListener('retrying', ({ detail: d }) => {
      showEvent('retrying', `Game server unavailable (${d.code}): attempt ${d.attempt} in ${d.delayMs} ms`);
    });
    client.addEventListener('resumerefused', ({ detail: d }) => {
      showEvent('resumerefused', `Resume refused (${d.code} ${d.reason}): the session is gone, log in again`);
    });
    client.addEventListener('close', ({ detail: d }) => {
      showEvent('close', `Closed (${d.code}${d.reason ? ` ${d.reason}` : ''})`);
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
  $('drop').addEventListener('click', () => {
    if (client?.dropConnection()) addEntry('sent', `→ connection dropped (close ${DROP_CODE})`, '');
  });
  $('noticeOk').addEventListener('click', () => {
    sent(`${CM_LOGINNOTICEOK} CM_LOGINNOTICEOK`, client.loginNoticeOk());
  });
  $('walk').addEventListener('click', () => {
    const x = Number($('walkX').value);
    const y = Number($('walkY').value);
    const dir = Number($('walkDir').value);
    sent(`${CM_WALK} CM_WALK to ${x},${y} dir ${dir}`, client.walk(x, y, dir, x - 1, y));
  });
  $('spell').addEventListener('click', () => {
    const spell = {
      skillID: Number($('skillId').value), dir: Number($('walkDir').value),
      srcX: Number($('walkX').value), srcY: Number($('walkY').value),
      destX: Number($('walkX').value) + 2, destY: Number($('walkY').value), targetID: $('targetId').value,
    };
    sent(`${CM_SPELL} CM_SPELL ${JSON.stringify(spell)}`, client.spell(spell));
  });
  loadTables().catch((err) => setState(`No codec tables: ${err.message}`));
}

setUp();
