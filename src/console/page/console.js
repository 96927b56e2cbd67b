// The operator console page: the main window (log pane, status bar, menu)
// kept current by the gateway's event stream, and the settings, online-users
// and question dialogs. The gateway holds all state; this page shows it and
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

function setPanels(panels) {
  $('Panel0').textContent = panels[0] ?? '';
  $('Panel1').textContent = panels[1] ?? '';
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
      await api('/api/settings', {
        GateAddr: $('EditGateIP').value,
        GatePort: spinValue('SpinGatePort'),
        ServerAddr: $('EditServerIP').value,
        ServerPort: spinValue('SpinServerPort'),
        IpCount: spinValue('SpinEditIPCount'),
      });
      $('BaseForm').close();
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
    const cells = [String(u.index), u.ip, u.account, u.name, u.userId];
    cells.forEach((text, i) => {
      const cell = row.insertCell();
      cell.textContent = text;
      if (i === 1) cell.className = 'center';
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
