// The operator console page: the main window (log pane, status bar, menu)
// kept current by the gateway's event stream, the dashboard strip above the
// log, and the settings, online-users and question dialogs. The gateway
// holds all state, the dashboard's history included; this page shows it and
// sends the operator's actions.

const $ = (id) => document.getElementById(id);

// A token given in the page's URL also goes with every request; the cookie
// the gateway sets for it covers the page's own files.
const token = new URLSearchParams(location.search).get('token');
const authHeaders = token ? { Authorization: `Bearer ${token}` } : {};

async function api(path, body) {
  const init = body === undefined
    ? { headers: authHeaders }
    : {
        method: 'POST',
        headers: { ...authHeaders, 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
      };
  const res = await fetch(path, init);
  const data = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(data.error || `${res.status} ${res.statusText}`);
  return data;
}

// ---- Question and message boxes ------------------------------------------

// Resolves true on Yes, false on No or Escape.
function askYesNo(title, text) {
  return showMessageBox(title, text, '?', ['MessageBoxYes', 'MessageBoxNo']);
}

function showError(text) {
  return showMessageBox('错误', text, '!', ['MessageBoxOk']);
}

function showMessageBox(title, text, icon, buttons) {
  const box = $('MessageBox');
  $('MessageBoxCaption').textContent = title;
  $('MessageBoxText').textContent = text;
  $('MessageBoxIcon').textContent = icon;
  for (const id of ['MessageBoxYes', 'MessageBoxNo', 'MessageBoxOk']) {
    $(id).hidden = !buttons.includes(id);
  }
  return new Promise((resolve) => {
    const finish = (answer) => {
      box.removeEventListener('keydown', onKey);
      box.onclose = null;
      for (const id of buttons) $(id).onclick = null;
      if (box.open) box.close();
      resolve(answer);
    };
    const onKey = (e) => {
      if (e.key === 'y' || e.key === 'Y') finish(true);
      if (e.key === 'n' || e.key === 'N') finish(false);
    };
    $('MessageBoxYes').onclick = () => finish(true);
    $('MessageBoxNo').onclick = () => finish(false);
    $('MessageBoxOk').onclick = () => finish(true);
    box.onclose = () => finish(false);
    box.addEventListener('keydown', onKey);
    box.showModal();
    $(buttons[0]).focus();
  });
}

// ---- Main window -----------------------------------------------------------

let lines = [];
let renderPending = false;

function renderLog() {
  renderPending = false;
  const memo = $('MemoLog');
  const atEnd = memo.scrollTop + memo.clientHeight >= memo.scrollHeight - 4;
  memo.value = lines.join('\n');
  if (atEnd) memo.scrollTop = memo.scrollHeight;
}

function scheduleRender() {
  if (!renderPending) {
    renderPending = true;
    setTimeout(renderLog, 30);
  }
}

function setCaption(caption) {
  $('Caption').textContent = caption;
  document.title = caption;
}

// The status bar keeps its texts; its tooltip says what each number is.
const panel0Pattern = /^Port:(\d+) (\d+)\/(\d+)\/(\d+)\[(\d+)\] - +MsgLis: (\d+)\/(\d+)\/(\d+)$/;

function panel0Tooltip(text) {
  const m = panel0Pattern.exec(text);
  if (!m) return '';
  return [
    `Port:${m[1]}  WebSocket listening port`,
    `${m[2]}  connections open`,
    `${m[3]}  sessions in game`,
    `${m[4]}  peak connections`,
    `[${m[5]}]  session records (free ones included)`,
    `MsgLis: ${m[6]}/${m[7]}/${m[8]}  link queue to the game server: bytes sent / bytes written / buffer size`,
  ].join('\n');
}

function setPanels(panels) {
  $('Panel0').textContent = panels[0] ?? '';
  $('Panel0').title = panel0Tooltip(panels[0] ?? '');
  $('Panel1').textContent = panels[1] ?? '';
  $('Panel1').title = 'Game-server link: 正常运行... = connected, 连接中断... = down';
}

function setShowLog(on) {
  $('N4').setAttribute('aria-checked', on ? 'true' : 'false');
}

function connectEvents() {
  const url = token ? `/events?token=${encodeURIComponent(token)}` : '/events';
  const events = new EventSource(url);
  events.onopen = () => { $('Offline').hidden = true; };
  events.onerror = () => { $('Offline').hidden = false; };
  events.addEventListener('snapshot', (e) => {
    const s = JSON.parse(e.data);
    setCaption(s.caption);
    lines = s.lines;
    setPanels(s.panels);
    setShowLog(s.showLog);
    scheduleRender();
    // A new stream may follow a gap: take the gateway's history again.
    loadDashboard().catch(() => {});
  });
  events.addEventListener('log', (e) => {
    lines.push(JSON.parse(e.data));
    scheduleRender();
  });
  events.addEventListener('clear', () => {
    lines = [];
    scheduleRender();
  });
  events.addEventListener('status', (e) => setPanels(JSON.parse(e.data)));
  events.addEventListener('showlog', (e) => setShowLog(JSON.parse(e.data)));
  events.addEventListener('figures', (e) => setFigures(JSON.parse(e.data)));
  events.addEventListener('sample', (e) => addSample(JSON.parse(e.data)));
}

// ---- Dashboard strip -------------------------------------------------------

const historyMs = 10 * 60 * 1000;
const minSpanMs = 60 * 1000;
let samples = [];
let charts = null;

function formatBytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB'];
  let v = n;
  let u = 0;
  while (v >= 1024 && u < units.length - 1) {
    v /= 1024;
    u += 1;
  }
  const digits = v < 10 && !Number.isInteger(v) ? 1 : 0;
  return `${v.toFixed(digits)} ${units[u]}`;
}

function clockTime(ms) {
  return new Date(ms).toLocaleTimeString('en-GB', { hour12: false });
}

function formatDuration(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
}

function setFigures(f) {
  const state = f.linkUp ? 'up' : 'down';
  $('LinkState').dataset.state = state;
  $('LinkText').textContent = f.linkUp ? 'Game server: linked' : 'Game server: DOWN';
  $('FigConnections').textContent = String(f.connections);
  $('FigInGame').textContent = String(f.inGame);
  $('FigPeak').textContent = String(f.peak);
  $('FigRecords').textContent = String(f.records);
  $('FigRecords').parentElement.title =
    `Session records in the table, free ones included (at most ${f.capacity})`;
  $('FigLinkQueue').textContent = formatBytes(f.linkQueueBytes);
  $('FigClientStreams').textContent = formatBytes(f.clientStreamBytes);
  const banner = $('LinkBanner');
  banner.hidden = f.linkUp;
  if (!f.linkUp) {
    banner.textContent = `Game-server link down since ${clockTime(f.linkSince)} `
      + `(${formatDuration(Date.now() - f.linkSince)}): nothing reaches the game server; `
      + 'the gateway reconnects every 2 s.';
  }
}

const palette = {
  blue: '#0b5fa5',
  green: '#107c10',
  orange: '#d83b01',
  purple: '#8764b8',
  grey: '#7a7574',
  red: '#c42b1c',
};

function lineSet(label, color, pick) {
  return {
    label, pick, borderColor: color, backgroundColor: `${color}22`, borderWidth: 1.5,
    // Dots while there are few samples, so that one shows at all.
    pointRadius: (ctx) => (ctx.dataset.data.length < 30 ? 2 : 0),
    fill: true, tension: 0.2, data: [],
  };
}

function barSet(label, color, pick) {
  return { label, pick, backgroundColor: color, borderWidth: 0, data: [], stack: 'refused' };
}

function makeChart(id, type, title, datasets, formatY) {
  return new window.Chart($(id), {
    type,
    data: { datasets },
    options: {
      animation: false,
      responsive: true,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      interaction: { mode: 'index', intersect: false },
      plugins: {
        title: { display: true, text: title, font: { size: 12 }, padding: { top: 4, bottom: 2 } },
        legend: { labels: { boxWidth: 10, font: { size: 11 } } },
        tooltip: {
          callbacks: {
            title: (items) => (items.length ? clockTime(items[0].parsed.x) : ''),
            label: (item) => `${item.dataset.label}: ${formatY(item.parsed.y)}`,
          },
        },
      },
      scales: {
        x: {
          type: 'linear',
          offset: false,
          stacked: type === 'bar',
          ticks: { maxTicksLimit: 6, callback: (v) => clockTime(v), font: { size: 10 } },
          grid: { color: '#eee' },
        },
        y: {
          beginAtZero: true,
          stacked: type === 'bar',
          ticks: { callback: (v) => formatY(v), font: { size: 10 }, maxTicksLimit: 5 },
          grid: { color: '#eee' },
        },
      },
    },
  });
}

function formatMs(v) {
  return v < 1 ? `${(v * 1000).toFixed(0)} µs` : `${v.toFixed(v < 10 ? 1 : 0)} ms`;
}

function formatCount(v) {
  return Number.isInteger(v) ? String(v) : v.toFixed(1);
}

function setUpCharts() {
  if (!window.Chart) return null;
  return [
    makeChart('ChartConnections', 'line', 'Connections and players', [
      lineSet('connections', palette.blue, (s) => s.connections),
      lineSet('in game', palette.green, (s) => s.inGame),
      lineSet('detached', palette.purple, (s) => s.resumes.detached),
    ], formatCount),
    makeChart('ChartMessages', 'line', 'Messages per second', [
      lineSet('from clients', palette.blue, (s) => s.messagesIn),
      lineSet('to clients', palette.orange, (s) => s.messagesOut),
    ], formatCount),
    makeChart('ChartBytes', 'line', 'Bytes per second', [
      lineSet('from clients', palette.blue, (s) => s.bytesIn),
      lineSet('to clients', palette.orange, (s) => s.bytesOut),
    ], formatBytes),
    makeChart('ChartRefusals', 'bar', 'Refusals per 5 s', [
      barSet('address limit', palette.red, (s) => s.refused.addressLimit),
      barSet('no free record', palette.purple, (s) => s.refused.noFreeRecord),
      barSet('handshake', palette.grey, (s) => s.refused.handshake),
      barSet('pace check', palette.orange, (s) => s.refused.paceCheck),
    ], formatCount),
    makeChart('ChartResumes', 'bar', 'Resumes per 5 s', [
      barSet('resumed', palette.green, (s) => s.resumes.ok),
      barSet('refused', palette.red, (s) => s.resumes.refused),
      barSet('expired', palette.grey, (s) => s.resumes.expired),
    ], formatCount),
    makeChart('ChartDwell', 'line', 'Time inside the gateway, p99', [
      lineSet('to the game server', palette.blue, (s) => s.dwellP99Ms.toServer),
      lineSet('to clients', palette.orange, (s) => s.dwellP99Ms.toClient),
    ], formatMs),
  ];
}

function drawCharts() {
  if (!charts) return;
  const end = samples.length ? samples[samples.length - 1].t : Date.now();
  // A young gateway's few minutes fill the width; at most the last ten show.
  const start = Math.max(end - historyMs, Math.min(samples.length ? samples[0].t : end, end - minSpanMs));
  for (const chart of charts) {
    for (const set of chart.data.datasets) set.data = samples.map((s) => ({ x: s.t, y: set.pick(s) }));
    chart.options.scales.x.min = start;
    chart.options.scales.x.max = end;
    chart.update('none');
  }
}

function addSample(sample) {
  samples.push(sample);
  samples = samples.filter((s) => s.t > sample.t - historyMs);
  drawCharts();
}

async function loadDashboard() {
  const d = await api('/api/dashboard');
  samples = d.samples;
  setFigures(d.figures);
  drawCharts();
}

// ---- Menu ------------------------------------------------------------------

function closeMenus() {
  for (const title of document.querySelectorAll('.menu-title')) {
    title.setAttribute('aria-expanded', 'false');
  }
}

function setUpMenu() {
  const titles = [...document.querySelectorAll('.menu-title')];
  for (const title of titles) {
    title.addEventListener('click', (e) => {
      e.stopPropagation();
      const open = title.getAttribute('aria-expanded') === 'true';
      closeMenus();
      title.setAttribute('aria-expanded', open ? 'false' : 'true');
    });
    // Once a menu is open, pointing at another title opens that one.
    title.addEventListener('mouseenter', () => {
      if (titles.some((t) => t.getAttribute('aria-expanded') === 'true')) {
        closeMenus();
        title.setAttribute('aria-expanded', 'true');
      }
    });
  }
  document.addEventListener('click', closeMenus);

  const actions = {
    N9: openUserList,
    N4: () => api('/api/showlog', { on: $('N4').getAttribute('aria-checked') !== 'true' })
      .then((r) => setShowLog(r.showLog)),
    N8: openBaseForm,
  };
  for (const item of document.querySelectorAll('.menu-items button')) {
    item.addEventListener('click', (e) => {
      e.stopPropagation();
      closeMenus();
      const action = actions[item.id];
      if (action) Promise.resolve(action()).catch((err) => showError(err.message));
    });
  }
}

// ---- Settings dialog (BaseForm) ---------------------------------------------

async function openBaseForm() {
  const s = await api('/api/settings');
  $('EditGateIP').value = s.GateAddr;
  $('SpinGatePort').value = s.GatePort;
  $('EditServerIP').value = s.ServerAddr;
  $('SpinServerPort').value = s.ServerPort;
  $('SpinEditIPCount').value = s.IpCount;
  $('CheckBoxClientSpeedDebugMode').checked = false;
  $('BaseForm').showModal();
}

// A cleared or garbled field goes as its text, so that the gateway refuses
// it (and says why) rather than taking it for 0.
function spinValue(id) {
  const text = $(id).value.trim();
  const n = Number.parseInt(text, 10);
  return Number.isNaN(n) ? text : n;
}

function setUpBaseForm() {
  $('CheckBoxClientSpeedDebugMode').addEventListener('change', (e) => {
    api('/api/speeddebug', { on: e.target.checked }).catch((err) => showError(err.message));
  });
  $('Button1').addEventListener('click', async () => {
    try {
      const answer = await api('/api/settings', {
        GateAddr: $('EditGateIP').value,
        GatePort: spinValue('SpinGatePort'),
        ServerAddr: $('EditServerIP').value,
        ServerPort: spinValue('SpinServerPort'),
        IpCount: spinValue('SpinEditIPCount'),
      });
      $('BaseForm').close();
      // The operator's settings file (--config) is never written.
      if (answer.saved === false) showMessageBox('Not saved', answer.note, 'i', ['MessageBoxOk']);
    } catch (err) {
      showError(err.message);
    }
  });
}

// ---- Online users dialog (TUserListFrm) -------------------------------------

let anchorRow = null;

function userRows() {
  return [...$('lvUserList').tBodies[0].rows];
}

async function showUserList() {
  const data = await api('/api/users');
  const body = $('lvUserList').tBodies[0];
  body.replaceChildren();
  for (const u of data.rows) {
    const row = body.insertRow();
    row.dataset.index = u.index;
    row.dataset.uid = u.uid;
    row.setAttribute('aria-selected', 'false');
    // A session kept for a resume has no connection: the address is its last one.
    const ip = u.graceLeft >= 0 ? `${u.ip} (detached, ${u.graceLeft} s left)` : u.ip;
    const cells = [String(u.index), ip, u.account, u.name, u.userId, u.connectedAt,
      String(u.bytesIn), String(u.bytesOut)];
    cells.forEach((text, i) => {
      const cell = row.insertCell();
      cell.textContent = text;
      if (i === 1) cell.className = 'center';
      if (i >= 6) cell.className = 'number';
    });
  }
  anchorRow = null;
  $('UserListStatus').textContent = data.status;
}

async function openUserList() {
  await showUserList();
  $('UserListFrm').showModal();
}

function select(row, on) {
  row.setAttribute('aria-selected', on ? 'true' : 'false');
}

// Whole-row, multiple selection: a click selects one row, Ctrl toggles,
// Shift extends from the last row clicked.
function onRowClick(e) {
  const row = e.target.closest('tr');
  if (!row || !row.parentElement.matches('tbody')) return;
  const rows = userRows();
  if (e.shiftKey && anchorRow) {
    const [a, b] = [rows.indexOf(anchorRow), rows.indexOf(row)].sort((x, y) => x - y);
    rows.forEach((r, i) => select(r, i >= a && i <= b));
    return;
  }
  if (e.ctrlKey || e.metaKey) {
    select(row, row.getAttribute('aria-selected') !== 'true');
  } else {
    rows.forEach((r) => select(r, r === row));
  }
  anchorRow = row;
}

function hideUserMenu() {
  $('UserListMenu').hidden = true;
}

function setUpUserList() {
  const list = $('lvUserListBox');
  list.addEventListener('click', onRowClick);
  list.addEventListener('contextmenu', (e) => {
    e.preventDefault();
    const row = e.target.closest('tbody tr');
    if (row && row.getAttribute('aria-selected') !== 'true') {
      userRows().forEach((r) => select(r, r === row));
      anchorRow = row;
    }
    const menu = $('UserListMenu');
    menu.style.left = `${e.clientX}px`;
    menu.style.top = `${e.clientY}px`;
    menu.hidden = false;
  });
  $('UserListFrm').addEventListener('click', (e) => {
    if (!e.target.closest('#UserListMenu')) hideUserMenu();
  });
  $('UserListN1').addEventListener('click', () => {
    hideUserMenu();
    showUserList().catch((err) => showError(err.message));
  });
  $('UserListN3').addEventListener('click', () => {
    hideUserMenu();
    const rows = userRows()
      .filter((r) => r.getAttribute('aria-selected') === 'true')
      .map((r) => ({ index: Number(r.dataset.index), uid: r.dataset.uid }));
    if (rows.length === 0) return;
    api('/api/disconnect', { rows }).catch((err) => showError(err.message));
  });
  $('UserListFrm').addEventListener('close', hideUserMenu);
}

// ---- Start -----------------------------------------------------------------

function setUp() {
  for (const button of document.querySelectorAll('[data-close]')) {
    button.addEventListener('click', () => button.closest('dialog').close());
  }
  setUpMenu();
  setUpBaseForm();
  setUpUserList();
  charts = setUpCharts();

  $('MemoLog').addEventListener('dblclick', async () => {
    if (await askYesNo('提示信息', '是否确定清除日志信息?')) {
      api('/api/clearlog', {}).catch((err) => showError(err.message));
    }
  });
  $('CloseButton').addEventListener('click', async () => {
    if (!(await askYesNo('确认信息', '是否确定退出？'))) return;
    try {
      await api('/api/close', {});
      $('Offline').textContent = '网关已退出';
      $('Offline').hidden = false;
    } catch (err) {
      showError(err.message);
    }
  });
  connectEvents();
}

setUp();
