// The recorder's web page: talks to /api/v1/ only, with the token in the
// cookie that the login sets. No framework; nothing from elsewhere.
'use strict';

const $ = (id) => document.getElementById(id);
const API = '/api/v1/';
const MAX_LOG_LINES = 2000;

const page = {
  status: null,
  channels: [],
  timers: [],
  selectedTimer: null, // id of the row clicked last
  lastLog: 0,          // number of the newest log line shown
  events: null,
};

// A request to the API. Changing requests go as JSON (the server refuses
// anything else). Resolves to the answer's JSON ({} for an answer without
// body); rejects with an Error whose message is the server's one line.
async function api(method, path, body) {
  const options = { method, credentials: 'same-origin', headers: {} };
  if (method !== 'GET') {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body || {});
  }
  const answer = await fetch(API + path, options);
  if (answer.status === 401 && path !== 'login') {
    showLogin('');
    throw new Error('not logged in');
  }
  const text = answer.status === 204 ? '' : await answer.text();
  let json = {};
  if (text) {
    try { json = JSON.parse(text); } catch (e) { json = { error: text }; }
  }
  if (!answer.ok) throw new Error(json.error || answer.statusText);
  return json;
}

function say(text, info) {
  const box = $('message');
  box.textContent = text;
  box.classList.toggle('info', !!info);
  box.hidden = !text;
}

// Runs a command; its refusal is shown as the message.
async function command(method, path, body) {
  try {
    const answer = await api(method, path, body);
    say('');
    return answer;
  } catch (error) {
    if (error.message !== 'not logged in') say(error.message);
    return null;
  }
}

function showLogin(problem) {
  if (page.events) { page.events.close(); page.events = null; }
  $('app').hidden = true;
  $('logout').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = problem;
  $('live').classList.remove('on');
  $('token').focus();
}

function bytes(n) {
  return Number(n).toLocaleString('en-US').replace(/,/g, ' ');
}

function option(value, text) {
  const o = document.createElement('option');
  o.value = value;
  o.textContent = text;
  return o;
}

function renderStatus(s) {
  // An answer that arrives after a later event must not bring back an older state.
  if (page.status && s.revision < page.status.revision) return;
  page.status = s;
  const r = s.receiver;
  $('receiver').textContent = r.found
    ? `host adapter ${r.hostAdapter}, id ${r.id}, firmware ${r.firmware}, SCSI mode ${r.scsiMode}`
    : 'no receiver found';
  $('channel').textContent = s.channel ? `${s.channel.number} ${s.channel.name}` : '-';
  const rec = s.recording;
  const state = $('state');
  state.textContent = rec.state;
  state.className = 'state ' + rec.state;
  $('base-name').textContent = rec.baseName || '-';
  $('part').textContent = String(rec.part);
  $('elapsed').textContent = rec.elapsed;
  $('bytes-video').textContent = bytes(rec.bytes.video);
  $('bytes-audio').textContent = bytes(rec.bytes.audio);
  $('bytes-mux').textContent = bytes(rec.bytes.mux);
  $('stop-time').textContent = rec.stopTime || '-';
  const next = s.nextTimer;
  $('next-timer').textContent = next ? `${next.channelName || next.channel}, ${next.start} to ${next.stop}` : 'none';
  $('timer-mode').textContent = s.timerMode ? 'enabled' : 'disabled';
  $('timer-enable').checked = s.timerMode;
  $('shutdown-pending').textContent = s.shutdownPending ? 'after this recording' : 'no';
  fillLines($('audio-info'), s.streamInfo.audio);
  fillLines($('video-info'), s.streamInfo.video);

  // The window's rules: the choices only while idle and not in timer mode.
  const idle = rec.state === 'idle';
  const running = rec.state === 'recording' || rec.state === 'paused';
  $('record').disabled = !(idle && !s.timerMode) && rec.state !== 'paused';
  $('record').textContent = rec.state === 'paused' ? 'Resume' : 'Record';
  $('pause').disabled = !(running || (idle && !s.timerMode));
  $('pause').textContent = rec.state === 'paused' ? 'Resume' : 'Pause';
  $('stop').disabled = !(running || rec.state === 'starting');
  $('split').disabled = !running;
  for (const id of ['video', 'audio', 'mux', 'video-delay', 'record-channel', 'file', 'duration', 'overwrite']) {
    $(id).disabled = !idle || s.timerMode;
  }
  for (const o of document.querySelectorAll('option[data-mux]')) o.hidden = !s.multiplexer;
  $('mux').disabled = $('mux').disabled || !s.multiplexer;
  for (const li of $('channels').children) {
    li.classList.toggle('current', s.channel && Number(li.dataset.number) === s.channel.number);
    li.querySelector('button').disabled = !idle || s.timerMode;
  }
  if (s.channel && idle) $('record-channel').value = String(s.channel.number);
}

function fillLines(list, lines) {
  list.replaceChildren(...lines.map((line) => {
    const li = document.createElement('li');
    li.textContent = line;
    return li;
  }));
}

function addLogLine(line) {
  if (line.n <= page.lastLog) return;
  page.lastLog = line.n;
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  const li = document.createElement('li');
  li.textContent = line.text;
  log.append(li);
  while (log.children.length > MAX_LOG_LINES) log.firstChild.remove();
  if (atEnd) log.scrollTop = log.scrollHeight;
}

async function loadLog() {
  const answer = await api('GET', 'log');
  for (const line of answer.lines) addLogLine(line);
}

async function loadChannels() {
  const answer = await api('GET', 'channels');
  page.channels = answer.channels;
  const list = $('channels');
  list.replaceChildren(...answer.channels.map((c) => {
    const li = document.createElement('li');
    li.dataset.number = String(c.number);
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = c.name;
    button.addEventListener('click', async () => {
      const s = await command('POST', 'channel', { channel: c.number });
      if (s) renderStatus(s);
    });
    li.append(button);
    return li;
  }));
  for (const select of [$('record-channel'), $('timer-channel')]) {
    select.replaceChildren(...answer.channels.map((c) => option(String(c.number), c.name)));
  }
}

// "YYYY-MM-DD HH:MM:SS" as the Timer dialog's columns show it.
function dateColumn(text) {
  const [date] = text.split(' ');
  const [y, m, d] = date.split('-');
  return `${d}.${m}.${y}`;
}
function timeColumn(text) { return text.split(' ')[1] || ''; }

function renderTimers() {
  const body = $('timers');
  body.replaceChildren(...page.timers.map((t) => {
    const tr = document.createElement('tr');
    tr.dataset.id = String(t.id);
    tr.classList.toggle('inactive', !t.active);
    tr.classList.toggle('selected', t.id === page.selectedTimer);
    const on = document.createElement('input');
    on.type = 'checkbox';
    on.checked = t.active;
    on.title = t.active ? 'active' : 'inactive';
    on.addEventListener('click', async (event) => {
      event.stopPropagation();
      const answer = await command('POST', `timers/${t.id}/${on.checked ? 'enable' : 'disable'}`);
      await loadTimers();
      if (!answer) on.checked = !on.checked;
    });
    const cells = [on, t.channelName || String(t.channel), dateColumn(t.start), timeColumn(t.start),
      timeColumn(t.stop), t.days, t.file, t.shutdown ? 'yes' : 'no'];
    for (const content of cells) {
      const td = document.createElement('td');
      if (typeof content === 'string') td.textContent = content; else td.append(content);
      tr.append(td);
    }
    tr.addEventListener('click', () => selectTimer(t));
    return tr;
  }));
}

async function loadTimers() {
  const answer = await api('GET', 'timers');
  page.timers = answer.timers;
  if (!page.timers.some((t) => t.id === page.selectedTimer)) page.selectedTimer = null;
  renderTimers();
}

// A click in the list: the row's timer goes into the fields.
function selectTimer(t) {
  page.selectedTimer = t.id;
  $('timer-channel').value = String(t.channel);
  const [date, start] = t.start.split(' ');
  $('timer-date').value = date;
  $('timer-start').value = start;
  $('timer-stop').value = timeColumn(t.stop);
  $('timer-file').value = t.file;
  $('timer-shutdown').checked = t.shutdown;
  const days = t.days === 'daily' ? ['mo', 'tu', 'we', 'th', 'fr', 'sa', 'su'] : t.days.split(',');
  for (const box of document.querySelectorAll('[data-day]')) box.checked = days.includes(box.dataset.day);
  renderTimers();
}

function timerFields() {
  const days = [...document.querySelectorAll('[data-day]')].filter((b) => b.checked).map((b) => b.dataset.day);
  return {
    channel: Number($('timer-channel').value),
    start: `${$('timer-date').value} ${$('timer-start').value}`,
    stop: $('timer-stop').value,
    file: $('timer-file').value,
    days: days.length === 7 ? 'daily' : (days.length ? days.join(',') : 'once'),
    shutdown: $('timer-shutdown').checked,
  };
}

async function addTimer() {
  const t = await command('POST', 'timers', timerFields());
  if (t) {
    page.selectedTimer = t.id;
    $('timer-date').value = t.start.split(' ')[0];
  }
  await loadTimers();
}

async function updateTimer() {
  if (page.selectedTimer === null) { say('Select a timer in the table first.'); return; }
  const t = await command('PUT', `timers/${page.selectedTimer}`, timerFields());
  if (t) $('timer-date').value = t.start.split(' ')[0];
  await loadTimers();
}

async function deleteTimer() {
  if (page.selectedTimer === null) { say('Select a timer in the table first.'); return; }
  const index = page.timers.findIndex((t) => t.id === page.selectedTimer);
  const deleted = await command('DELETE', `timers/${page.selectedTimer}`);
  await loadTimers();
  if (deleted) {
    // The row now at its place is selected, or the last one.
    const next = page.timers[Math.min(index, page.timers.length - 1)];
    page.selectedTimer = next ? next.id : null;
    renderTimers();
  }
}

function recordingRequest() {
  const request = {
    channel: Number($('record-channel').value),
    video: $('video').value,
    audio: $('audio').value,
    mux: $('mux').value,
    'split-size': $('split-on-size').checked ? Number($('split-size').value) : 'off',
    'split-time': $('split-on-time').checked ? $('split-time').value : 'off',
    'video-delay': Number($('video-delay').value || 0),
    overwrite: $('overwrite').checked,
  };
  if ($('file').value.trim()) request.file = $('file').value.trim();
  if ($('duration').value.trim()) request.duration = $('duration').value.trim();
  return request;
}

async function record() {
  if (page.status && page.status.recording.state === 'paused') return pause();
  const s = await command('POST', 'recording', recordingRequest());
  if (s) renderStatus(s);
}

async function pause() {
  const state = page.status ? page.status.recording.state : 'idle';
  const s = state === 'idle'
    ? await command('POST', 'recording', Object.assign(recordingRequest(), { paused: true }))
    : await command('POST', 'recording/pause');
  if (s) renderStatus(s);
}

async function loadRecordings() {
  let answer;
  try {
    answer = await api('GET', 'recordings');
  } catch (error) {
    $('recordings-folder').textContent = error.message;
    $('recordings').replaceChildren();
    return;
  }
  $('recordings-folder').textContent = answer.folder;
  $('recordings').replaceChildren(...answer.recordings.map((r) => {
    const li = document.createElement('li');
    const name = document.createElement('div');
    name.className = 'name';
    name.textContent = r.name;
    const meta = document.createElement('div');
    meta.className = 'meta';
    meta.textContent = `${r.start || 'start unknown'}, ${r.duration}, ${r.parts} part${r.parts === 1 ? '' : 's'}, ` +
      `${bytes(r.bytes)} bytes`;
    const files = document.createElement('ul');
    for (const f of r.files) {
      const item = document.createElement('li');
      const link = document.createElement('a');
      link.href = `${API}recordings/${encodeURIComponent(r.name)}/${encodeURIComponent(f.name)}`;
      link.textContent = f.name;
      link.download = f.name;
      item.append(link, ` (${bytes(f.size)} bytes)`);
      files.append(item);
    }
    li.append(name, meta, files);
    return li;
  }));
}

function listen() {
  if (page.events) page.events.close();
  const events = new EventSource(API + 'events');
  page.events = events;
  events.addEventListener('open', () => {
    $('live').classList.add('on');
    loadLog().catch(() => {});
  });
  events.addEventListener('state', (e) => {
    const before = page.status ? page.status.recording.state : null;
    renderStatus(JSON.parse(e.data));
    const now = page.status.recording.state;
    if (before !== now && (now === 'idle' || now === 'recording')) loadRecordings();
    loadTimers().catch(() => {});
  });
  events.addEventListener('progress', (e) => renderStatus(JSON.parse(e.data)));
  events.addEventListener('log', (e) => addLogLine(JSON.parse(e.data)));
  events.addEventListener('error', () => {
    $('live').classList.remove('on');
    if (events.readyState === EventSource.CLOSED) {
      // Refused (the token is gone) or the server went away: look again.
      setTimeout(() => api('GET', 'status').then(() => listen()).catch(() => {}), 3000);
    }
  });
}

async function start() {
  $('login').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = false;
  await loadChannels();
  renderStatus(await api('GET', 'status'));
  await Promise.all([loadTimers(), loadLog(), loadRecordings()]);
  listen();
}

async function login(event) {
  event.preventDefault();
  try {
    await api('POST', 'login', { token: $('token').value.trim() });
    $('token').value = '';
    await start();
  } catch (error) {
    showLogin(error.message);
  }
}

function wire() {
  $('login-form').addEventListener('submit', login);
  $('logout').addEventListener('click', async () => {
    await command('POST', 'logout');
    showLogin('');
  });
  $('record').addEventListener('click', record);
  $('pause').addEventListener('click', pause);
  $('stop').addEventListener('click', async () => {
    const s = await command('DELETE', 'recording');
    if (s) renderStatus(s);
  });
  $('split').addEventListener('click', async () => {
    const s = await command('POST', 'recording/split');
    if (s) renderStatus(s);
  });
  $('timer-enable').addEventListener('change', async () => {
    const s = await command('POST', 'timer-mode', { on: $('timer-enable').checked });
    if (s) renderStatus(s); else $('timer-enable').checked = !$('timer-enable').checked;
  });
  $('timer-add').addEventListener('click', addTimer);
  $('timer-update').addEventListener('click', updateTimer);
  $('timer-delete').addEventListener('click', deleteTimer);
  $('recordings-refresh').addEventListener('click', loadRecordings);
  const now = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  $('timer-date').value = `${now.getFullYear()}-${pad(now.getMonth() + 1)}-${pad(now.getDate())}`;
  $('timer-start').value = `${pad(now.getHours())}:${pad(now.getMinutes())}:00`;
  $('timer-stop').value = $('timer-start').value;
}

wire();
api('GET', 'status').then(() => start()).catch((error) => {
  if (error.message !== 'not logged in') say(error.message);
});
