// The console page: follows the service through one stream of server-sent events (its state
// and sessions every second, log entries as they are flushed), and sends the operator's
// commands. When the stream cannot be had (too many pages open), it asks once a second
// instead. The browser's console session (a cookie) goes with every request; when it has
// ended, the page goes back to the sign-in page.
'use strict';

const POLL_MS = 1000;
const MAX_ENTRIES = 5000;  // entries the view keeps; older ones go first
const $ = (id) => document.getElementById(id);
const logView = $('log');
const statusText = $('status');
const toggle = $('toggle');
const authNote = $('auth-note');
const dialog = $('password-dialog');
const passwordField = $('password');
const passwordMessage = $('password-message');

let position = null;  // log position after the entries held; null: ask for the whole log
let state = null;
let closed = false;
let failures = 0;
let events = null;
let entries = [];    // every entry held, oldest first
let paused = false;
let unseen = 0;      // entries that came while paused or scrolled away

async function api(method, path, body) {
  const options = {method, headers: {}, cache: 'no-store', credentials: 'same-origin'};
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  if (response.status === 401) {
    closed = true;
    window.location.replace('/login');
    throw new Error('signed out');
  }
  // 500: the listener did not follow; 429: too many wrong passwords. Both answer in JSON.
  if (!response.ok && response.status !== 500 && response.status !== 429) {
    throw new Error(`HTTP ${response.status}: ${(await response.text()).trim()}`);
  }
  return response.json();
}

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function pad(n) { return String(n).padStart(2, '0'); }
function clock(ms) {
  const d = new Date(ms);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}
function since(ms) {
  const d = new Date(ms);
  const today = new Date().toDateString() === d.toDateString();
  return today ? clock(ms) : `${d.toLocaleDateString()} ${clock(ms)}`;
}
function duration(seconds) {
  if (seconds < 60) return `${seconds} s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min ${seconds % 60} s`;
  return `${Math.floor(seconds / 3600)} h ${Math.floor(seconds / 60) % 60} min`;
}
function bytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let unit = 0;
  while (n >= 1024 && unit < units.length - 1) { n /= 1024; unit++; }
  return unit === 0 ? `${n} B` : `${n.toFixed(1)} ${units[unit]}`;
}

// ---- State ----

function showState(next) {
  state = next;
  if (closed) return;
  setText(statusText, state.status);
  statusText.classList.toggle('inactive', !state.active);
  setText(toggle, state.button);
  toggle.disabled = false;
  setText($('detail'), state.detail || '');
  if (state.authenticated) {
    const seconds = Math.ceil(state.authenticatedMs / 1000);
    authNote.className = 'note';
    setText(authNote, `Administrator authenticated: passwords are shown for ${seconds} s more`);
  } else if (authNote.dataset.sticky !== '1') {
    setText(authNote, '');
  }
}

function note(text, warning) {
  authNote.className = warning ? 'note warning' : 'note';
  authNote.dataset.sticky = '1';
  setText(authNote, text);
  setTimeout(() => { authNote.dataset.sticky = ''; }, 4000);
}

// The service has stopped: nothing stale stays on the page.
function showStopped() {
  closed = true;
  if (events) events.close();
  $('stopped').hidden = false;
  setText(statusText, 'Service stopped');
  statusText.classList.add('inactive');
  toggle.disabled = true;
  setText($('detail'), '');
  showSessions({sessions: [], bans: []});
  $('sessions-panel').hidden = true;
  for (const id of ['clear', 'end', 'pause']) $(id).disabled = true;
}

// ---- Sessions and bans ----

function transferCell(t) {
  const cell = element('td', 'transfer');
  if (!t) {
    cell.textContent = '';
    return cell;
  }
  const arrow = t.direction === 'upload' ? '\u2191 upload' : '\u2193 download';
  cell.append(element('div', '', `${arrow} `));
  cell.firstChild.append(element('span', 'file', t.file));
  let amount = bytes(t.bytes);
  if (t.size > 0) amount += ` of ${bytes(t.size)}`;
  if (t.percent !== null) amount += ` (${Math.floor(t.percent)} %)`;
  cell.append(element('div', 'amount', `${amount}, ${bytes(t.rate)}/s`));
  if (t.percent !== null) {
    const bar = element('div', 'bar');
    const fill = element('div');
    fill.style.width = `${Math.min(100, t.percent)}%`;
    bar.append(fill);
    cell.append(bar);
  }
  return cell;
}

function showSessions(view) {
  const body = $('sessions').tBodies[0];
  const rows = [];
  for (const s of view.sessions) {
    const row = element('tr');
    row.dataset.id = s.id;
    row.dataset.user = s.user;
    row.dataset.address = s.address;
    row.append(s.user ? element('td', 'user', s.user) : element('td', 'user anonymous', 'not logged in'));
    row.append(element('td', 'address', s.address + (s.secured ? ' (TLS)' : '')));
    row.append(element('td', 'since', since(s.connectedAt)));
    row.append(element('td', 'idle', duration(s.idleSeconds)));
    row.append(element('td', 'command', s.command));
    row.append(transferCell(s.transfer));
    const actions = element('td', 'actions');
    const kick = element('button', 'kick', 'Kick');
    kick.type = 'button';
    kick.addEventListener('click', () => kickSession(s));
    const ban = element('button', 'ban', 'Ban address');
    ban.type = 'button';
    ban.addEventListener('click', () => banAddress(s));
    actions.append(kick, ban);
    row.append(actions);
    rows.push(row);
  }
  body.replaceChildren(...rows);
  $('no-sessions').hidden = rows.length > 0;
  setText($('session-count'), `(${rows.length})`);

  const bans = [];
  for (const b of view.bans) {
    const item = element('li', '', `${b.address}, ${duration(b.seconds)} left`);
    item.dataset.address = b.address;
    const lift = element('button', 'lift', 'Lift');
    lift.type = 'button';
    lift.addEventListener('click', () => liftBan(b.address));
    item.append(lift);
    bans.push(item);
  }
  $('bans').replaceChildren(...bans);
  $('no-bans').hidden = bans.length > 0;
}

// ---- Confirmations ----

const confirmDialog = $('confirm-dialog');
let confirmAnswer = null;
// Asks `text`; resolves true for OK. With `seconds`, a field for the ban's time is shown.
function ask(text, seconds) {
  setText($('confirm-text'), text);
  $('confirm-seconds-row').hidden = seconds === undefined;
  if (seconds !== undefined) $('confirm-seconds').value = seconds;
  confirmDialog.showModal();
  $('confirm-ok').focus();
  return new Promise((resolve) => { confirmAnswer = resolve; });
}
function answer(ok) {
  confirmDialog.close();
  if (confirmAnswer) confirmAnswer(ok);
  confirmAnswer = null;
}
$('confirm-ok').addEventListener('click', () => answer(true));
$('confirm-cancel').addEventListener('click', () => answer(false));
confirmDialog.addEventListener('cancel', (event) => { event.preventDefault(); answer(false); });

function who(s) { return s.user ? `${s.user} (${s.address})` : `the session from ${s.address}`; }

async function kickSession(s) {
  if (!await ask(`End the session of ${who(s)}? Its client gets "421" and any transfer stops.`)) return;
  try {
    const result = await api('POST', '/api/sessions/kick', {id: s.id});
    note(result.kicked > 0 ? `Session of ${who(s)} ended` : 'That session had ended already', result.kicked === 0);
  } catch (error) {
    note(`Not ended: ${error.message}`, true);
  }
}

async function banAddress(s) {
  const defaultSeconds = (state && state.banSeconds) || 900;
  if (!await ask(`Ban ${s.address}? Its sessions end now and it cannot connect until the ban ` +
                 'ends or is lifted.', defaultSeconds)) return;
  const seconds = Number.parseInt($('confirm-seconds').value, 10);
  try {
    const result = await api('POST', '/api/bans/add',
                             {address: s.address, seconds: Number.isFinite(seconds) && seconds > 0 ? seconds : 0});
    note(`${s.address} banned; ${result.ended} session(s) ended`, false);
    refresh();
  } catch (error) {
    note(`Not banned: ${error.message}`, true);
  }
}

async function liftBan(address) {
  if (!await ask(`Lift the ban of ${address}? It can connect again at once.`)) return;
  try {
    const result = await api('POST', '/api/bans/lift', {address});
    note(result.lifted ? `Ban of ${address} lifted` : `${address} was not banned any more`, !result.lifted);
    refresh();
  } catch (error) {
    note(`Not lifted: ${error.message}`, true);
  }
}

// ---- The log ----

const filters = {user: $('filter-user'), address: $('filter-address'), text: $('filter-text')};
function matches(entry) {
  const user = filters.user.value.trim().toLowerCase();
  const address = filters.address.value.trim();
  const text = filters.text.value.trim().toLowerCase();
  return (!user || entry.user.toLowerCase().includes(user)) &&
         (!address || entry.address.includes(address)) &&
         (!text || entry.text.toLowerCase().includes(text));
}
function entryRow(entry) {
  const row = element('div', 'entry');
  if (entry.priority <= 4) row.classList.add('warning');
  else if (entry.priority === 5) row.classList.add('notice');
  row.append(element('span', 'time', clock(entry.time)), element('span', 'address', entry.address),
             element('span', 'user', entry.user), element('span', 'text', entry.text));
  return row;
}
function atBottom() { return logView.scrollHeight - logView.scrollTop - logView.clientHeight < 8; }
function scrollToNewest() {
  logView.scrollTop = logView.scrollHeight;
  unseen = 0;
  $('jump').hidden = true;
}
function countShown() {
  const shown = logView.childElementCount;
  setText($('log-count'), shown === entries.length ? `${shown} entries` : `${shown} of ${entries.length} entries`);
}
function renderLog() {
  logView.replaceChildren(...entries.filter(matches).map(entryRow));
  countShown();
  if (!paused) scrollToNewest();
}
function addEntries(list) {
  if (list.length === 0) return;
  const follow = !paused && atBottom();
  entries.push(...list);
  let dropped = entries.length - MAX_ENTRIES;
  if (dropped > 0) entries.splice(0, dropped);
  if (!paused) {
    for (const entry of list) if (matches(entry)) logView.append(entryRow(entry));
    while (dropped > 0 && logView.firstChild && logView.childElementCount > entries.length) {
      logView.firstChild.remove();
      dropped--;
    }
  }
  countShown();
  if (follow) {
    scrollToNewest();
  } else {
    unseen += list.length;
    $('jump').hidden = false;
    setText($('jump'), `Jump to newest (${unseen} new)`);
  }
}
function showLog(log) {
  // When the administrator's time ends, passwords already shown are masked again: the stream
  // sends the whole log once more.
  if (log.reset) {
    entries = [];
    logView.replaceChildren();
  }
  addEntries(log.entries);
  position = log.next;
}
for (const input of Object.values(filters)) input.addEventListener('input', renderLog);
$('pause').addEventListener('click', () => {
  paused = !paused;
  $('pause').setAttribute('aria-pressed', paused ? 'true' : 'false');
  setText($('pause'), paused ? 'Resume' : 'Pause');
  if (!paused) renderLog();
});
$('jump').addEventListener('click', () => {
  if (paused) $('pause').click();
  scrollToNewest();
});
logView.addEventListener('scroll', () => { if (atBottom() && !paused) scrollToNewest(); });

// ---- Following the service ----

function startEvents() {
  if (closed) return;
  events = new EventSource('/api/events');
  events.addEventListener('state', (e) => { failures = 0; showState(JSON.parse(e.data)); });
  events.addEventListener('sessions', (e) => showSessions(JSON.parse(e.data)));
  events.addEventListener('log', (e) => showLog(JSON.parse(e.data)));
  events.addEventListener('stopped', () => showStopped());
  events.onerror = async () => {
    if (closed) return;
    if (events.readyState === EventSource.CLOSED) {
      // Refused (too many pages follow the service) or signed out: ask once a second instead,
      // and try the stream again later.
      events = null;
      poll();
      setTimeout(startEvents, 30000);
    }
    try {
      await api('GET', '/api/state');  // answers 401 when the session has ended
    } catch (error) {
      if (++failures >= 3) {
        setText(statusText, 'Console not reachable');
        statusText.classList.add('inactive');
        toggle.disabled = true;
      }
    }
  };
}

let polling = false;
async function poll() {
  if (closed || polling) return;
  polling = true;
  while (!closed && events === null) {
    await refresh();
    try {
      const query = position === null ? '' : `?since=${position}`;
      showLog(await api('GET', `/api/log${query}`));
    } catch (error) { /* the next look tries again */ }
    await new Promise((resolve) => setTimeout(resolve, POLL_MS));
  }
  polling = false;
}

async function refresh() {
  if (closed) return;
  try {
    showState(await api('GET', '/api/state'));
    const view = await api('GET', '/api/sessions');
    const bans = await api('GET', '/api/bans');
    showSessions({sessions: view.sessions, bans: bans.bans});
    failures = 0;
  } catch (error) {
    failures++;
  }
}

// ---- Buttons ----

toggle.addEventListener('click', async () => {
  toggle.disabled = true;
  try {
    showState(await api('POST', '/api/listener', {action: 'toggle'}));
  } catch (error) {
    note(`The service did not answer: ${error.message}`, true);
  }
  toggle.disabled = false;
});

$('clear').addEventListener('click', async () => {
  if (!await ask('Clear the log? Every open console page and zelmftpctl log loses what it shows.')) return;
  await api('POST', '/api/clear', {});
});

$('end').addEventListener('click', async () => {
  if (!await ask('This stops the FTP service for every customer. Stop it?')) return;
  const result = await api('POST', '/api/stop', {});
  if (result.stopping) showStopped();
});

// ---- The File menu and the administrator-password dialog ----

const fileMenu = $('file-menu');
const fileItems = $('file-items');
function showMenu(open) {
  fileItems.hidden = !open;
  fileMenu.setAttribute('aria-expanded', open ? 'true' : 'false');
}
fileMenu.addEventListener('click', () => showMenu(fileItems.hidden));
document.addEventListener('click', (event) => {
  if (!fileMenu.contains(event.target) && !fileItems.contains(event.target)) showMenu(false);
});

$('authenticate').addEventListener('click', () => {
  showMenu(false);
  passwordField.value = '';
  passwordMessage.hidden = true;
  $('password-unset').hidden = !state || state.passwordSet;
  dialog.showModal();
  passwordField.focus();
});

let checking = false;
async function submitPassword() {
  if (checking) return;
  checking = true;
  $('password-ok').disabled = true;
  try {
    const result = await api('POST', '/api/authenticate', {password: passwordField.value});
    passwordField.value = '';
    if (result.result === 'accepted') {
      dialog.close();
    } else if (result.result === 'retry' || result.result === 'locked') {
      passwordMessage.textContent = result.message;
      passwordMessage.hidden = false;
      passwordField.focus();
    } else {
      dialog.close();
      note(result.message || 'Not authenticated', true);
    }
  } finally {
    checking = false;
    $('password-ok').disabled = false;
  }
}

async function cancelPassword() {
  dialog.close();
  await api('POST', '/api/authenticate', {cancel: true});
}

$('password-ok').addEventListener('click', submitPassword);
$('password-cancel').addEventListener('click', cancelPassword);
passwordField.addEventListener('keydown', (event) => {
  if (event.key === 'Enter') {
    event.preventDefault();
    submitPassword();
  }
});
dialog.addEventListener('cancel', (event) => {  // Escape
  event.preventDefault();
  cancelPassword();
});

refresh();
startEvents();
