// The console's page: draws what g19-hostsim streams (/api/events) and changes the simulated
// client through its JSON API (docs/console.md). Names come from scenarios and are only ever
// set as text, never as markup.
'use strict';

// The flags of a client, as the scenario names them, with the words shown on their buttons.
// "bad" flags show red when set.
const FLAGS = [
  {key: 'inputMuted', label: 'mic muted', bad: true},
  {key: 'outputMuted', label: 'speakers muted', bad: true},
  {key: 'away', label: 'away'},
  {key: 'recording', label: 'recording'},
  {key: 'talkRequest', label: 'talk request'},
  {key: 'isTalker', label: 'talker'},
  {key: 'channelCommander', label: 'commander'},
  {key: 'localMuted', label: 'locally muted', bad: true},
];

// The host functions a failure rule may name (docs/scenarios.md).
const HOST_FUNCTIONS = [
  'getClientList', 'getChannelList', 'getServerVariableAsString', 'getClientID',
  'getClientVariableAsInt', 'getClientVariableAsString', 'getClientSelfVariableAsInt',
  'setClientSelfVariableAsInt', 'flushClientSelfUpdates', 'getChannelOfClient',
  'getChannelVariableAsInt', 'getChannelVariableAsString', 'getParentChannelOfChannel',
  'requestClientMove', 'requestClientKickFromChannel', 'requestClientKickFromServer', 'banclient',
  'requestIsTalker', 'stopConnection', 'getCurrentServerConnectionHandlerID', 'createReturnCode',
  'freeMemory',
];

const MAX_ACTIVITY_ITEMS = 500;

let state = null;      // the last "state" event: {current, connections, failures}
let selected = null;   // {kind: 'connection' | 'channel' | 'client', schid, id}
let inspectorKey = ''; // what the inspector shows now, to redraw it only when that changes
const rows = new Map();          // row key -> element of the tree
const activityItems = new Map(); // entry id -> <li>

const $ = (id) => document.getElementById(id);

function element(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'dataset') Object.assign(node.dataset, value);
    else if (key === 'style') node.setAttribute('style', value);
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (key in node) node[key] = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child);
  return node;
}

function showMessage(text) {
  const box = $('message');
  box.textContent = text;
  box.hidden = !text;
}

async function api(method, path, body) {
  const options = {method, headers: {}};
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = typeof body === 'string' ? body : JSON.stringify(body);
  }
  const response = await fetch(path, options);
  const data = await response.json().catch(() => ({}));
  if (!response.ok) {
    showMessage(`${method} ${path}: ${data.error || response.status + ' ' + response.statusText}`);
    throw new Error(data.error || String(response.status));
  }
  showMessage('');
  return data;
}

const clientPath = (schid, id) => `/api/connections/${schid}/clients/${id}`;
const channelPath = (schid, id) => `/api/connections/${schid}/channels/${id}`;

function connectionOf(schid) {
  return state && state.connections.find((c) => c.schid === schid);
}

// ---- The tree -------------------------------------------------------------------------------

function flagButton(flag) {
  return element('button', {type: 'button', className: 'flag' + (flag.bad ? ' bad' : ''),
                            dataset: {flag: flag.key}, textContent: flag.label});
}

function toggleFlag(event) {
  const button = event.target.closest('[data-flag]');
  const row = event.target.closest('[data-client]');
  if (!button || !row) return;
  const on = button.getAttribute('aria-pressed') !== 'true';
  // A pending talk request holds the time it was made, in seconds since 1970.
  const value = !on ? 0 : button.dataset.flag === 'talkRequest' ? Math.floor(Date.now() / 1000) : 1;
  api('PATCH', clientPath(Number(row.dataset.schid), Number(row.dataset.client)),
      {[button.dataset.flag]: value}).catch(() => {});
}

function select(kind, schid, id) {
  selected = {kind, schid, id};
  inspectorKey = '';
  drawState();
}

function isSelected(kind, schid, id) {
  return selected && selected.kind === kind && selected.schid === schid && selected.id === id;
}

function clientRow(key) {
  const row = element('div', {className: 'row-item client', dataset: {}});
  row.append(
    element('button', {type: 'button', className: 'light', dataset: {flag: 'talking'},
                       title: 'talking', 'aria-label': 'talking'}),
    element('span', {className: 'name'}),
    element('span', {className: 'flags'}, ...FLAGS.map(flagButton)));
  row.addEventListener('click', (event) => {
    if (event.target.closest('[data-flag]')) toggleFlag(event);
    else if (event.target.closest('.name')) {
      select('client', Number(row.dataset.schid), Number(row.dataset.client));
    }
  });
  rows.set(key, row);
  return row;
}

function updateClientRow(row, connection, client, depth) {
  row.dataset.schid = connection.schid;
  row.dataset.client = client.id;
  row.style.setProperty('--depth', depth);
  const self = client.id === connection.self;
  row.classList.toggle('self', self);
  row.classList.toggle('unlisted', client.listed === false);
  row.classList.toggle('selected', isSelected('client', connection.schid, client.id));
  const name = row.querySelector('.name');
  const label = client.nickname || `client ${client.id}`;
  if (name.dataset.label !== label || name.dataset.self !== String(self)) {
    name.dataset.label = label;
    name.dataset.self = String(self);
    name.replaceChildren(label);
    if (self) name.append(' ', element('span', {className: 'you', textContent: '(you)'}));
    name.title = `client ${client.id}` + (client.listed === false ? ', left out of the client list' : '');
  }
  row.querySelector('.light').setAttribute('aria-pressed', String(Boolean(client.talking)));
  for (const flag of FLAGS) {
    row.querySelector(`.flag[data-flag="${flag.key}"]`).setAttribute('aria-pressed', String(Boolean(client[flag.key])));
  }
}

function channelRow(key) {
  const row = element('div', {className: 'row-item channel'},
                      element('span', {className: 'cname'}), element('span', {className: 'meta'}));
  row.addEventListener('click', () => select('channel', Number(row.dataset.schid), Number(row.dataset.channel)));
  rows.set(key, row);
  return row;
}

function updateChannelRow(row, connection, channel) {
  row.dataset.schid = connection.schid;
  row.dataset.channel = channel.id;
  row.style.setProperty('--depth', channel.depth || 0);
  row.classList.toggle('selected', isSelected('channel', connection.schid, channel.id));
  row.querySelector('.cname').textContent = channel.name || `channel ${channel.id}`;
  const meta = [];
  if (channel.password) meta.push('password');
  if (channel.neededTalkPower) meta.push(`talk power ${channel.neededTalkPower}`);
  row.querySelector('.meta').textContent = meta.length ? `(${meta.join(', ')})` : '';
}

function serverRow(key) {
  const row = element('div', {className: 'server'}, element('span', {className: 'sname'}),
                      element('span', {className: 'front'}));
  row.addEventListener('click', () => select('connection', Number(row.dataset.schid), Number(row.dataset.schid)));
  rows.set(key, row);
  return row;
}

// The rows of the whole tree in order, reusing the elements of the last drawing, so that a
// click is never lost to a redraw and nothing flickers.
function drawTree() {
  const wanted = [];
  const use = (key, make, update) => {
    const row = rows.get(key) || make(key);
    update(row);
    wanted.push(row);
  };
  for (const connection of state.connections) {
    use(`s:${connection.schid}`, serverRow, (row) => {
      row.dataset.schid = connection.schid;
      row.classList.toggle('selected', isSelected('connection', connection.schid, connection.schid));
      row.querySelector('.sname').textContent = connection.server.name || `connection ${connection.schid}`;
      row.querySelector('.front').textContent =
        `connection ${connection.schid}` + (connection.schid === state.current ? ', in front' : '');
    });
    const shown = new Set();
    const clientsIn = (channelId) => connection.clients.filter((client) => client.channel === channelId);
    for (const channel of connection.channels) {
      use(`c:${connection.schid}:${channel.id}`, channelRow, (row) => updateChannelRow(row, connection, channel));
      if (shown.has(channel.id)) continue;  // a duplicated ID: its clients show under the first
      shown.add(channel.id);
      for (const client of clientsIn(channel.id)) {
        use(`u:${connection.schid}:${client.id}:${channel.id}`, clientRow,
            (row) => updateClientRow(row, connection, client, channel.depth || 0));
      }
    }
    for (const client of connection.clients.filter((c) => !shown.has(c.channel))) {
      use(`u:${connection.schid}:${client.id}:none`, clientRow, (row) => updateClientRow(row, connection, client, 0));
    }
  }
  const container = $('connections');
  const keep = new Set(wanted);
  for (const [key, row] of rows) {
    if (!keep.has(row)) {
      row.remove();
      rows.delete(key);
    }
  }
  wanted.forEach((row, index) => {
    if (container.children[index] !== row) container.insertBefore(row, container.children[index] || null);
  });
  const front = connectionOf(state.current) || state.connections[0];
  $('server-name').textContent = front ? front.server.name || `connection ${front.schid}` : 'no connection';
  document.title = `${$('server-name').textContent} - g19-hostsim console`;
}

// ---- The inspector --------------------------------------------------------------------------

function channelOptions(connection, chosen) {
  return connection.channels.map((channel) => element('option', {
    value: channel.id, selected: channel.id === chosen,
    textContent: '\u2003'.repeat(channel.depth || 0) + (channel.name || `channel ${channel.id}`)}));
}

function textAction(label, value, act) {
  const input = element('input', {type: 'text', value: value || ''});
  return element('div', {className: 'row'}, input,
                 element('button', {type: 'button', textContent: label, onclick: () => act(input.value)}));
}

function inspectClient(connection, client) {
  const schid = connection.schid;
  const move = element('select', {}, ...channelOptions(connection, client.channel));
  return [
    element('p', {className: 'hint', textContent:
      `Client ${client.id} in connection ${schid}` + (client.id === connection.self ? ', the own client' : '')}),
    textAction('Rename', client.nickname, (nickname) => api('PATCH', clientPath(schid, client.id), {nickname})),
    element('div', {className: 'row'}, move, element('button', {type: 'button', textContent: 'Move',
      onclick: () => api('PATCH', clientPath(schid, client.id), {channel: Number(move.value)})})),
    element('div', {className: 'row'},
      element('button', {type: 'button', textContent: client.listed === false ? 'List it' : 'Leave out of the list',
        onclick: () => api('PATCH', clientPath(schid, client.id), {listed: client.listed === false})}),
      element('button', {type: 'button', textContent: 'Make it the own client',
        onclick: () => api('PATCH', `/api/connections/${schid}`, {self: client.id})}),
      element('button', {type: 'button', textContent: 'Remove client',
        onclick: () => api('DELETE', clientPath(schid, client.id)).then(() => { selected = null; })})),
  ];
}

function inspectChannel(connection, channel) {
  const schid = connection.schid;
  return [
    element('p', {className: 'hint', textContent: `Channel ${channel.id} in connection ${schid}`}),
    textAction('Rename', channel.name, (name) => api('PATCH', channelPath(schid, channel.id), {name})),
    textAction('Add a client here', '', (nickname) =>
      api('POST', `/api/connections/${schid}/clients`, {nickname, channel: channel.id})),
    textAction('Add a subchannel', '', (name) =>
      api('POST', `/api/connections/${schid}/channels`, {name, parent: channel.id})),
    element('div', {className: 'row'}, element('button', {type: 'button', textContent: 'Remove channel',
      title: 'Its subchannels go too; the clients in them move to the default channel',
      onclick: () => api('DELETE', channelPath(schid, channel.id)).then(() => { selected = null; })})),
  ];
}

function inspectConnection(connection) {
  const schid = connection.schid;
  return [
    element('p', {className: 'hint', textContent: `Connection ${schid}`}),
    textAction('Rename server', connection.server.name,
               (name) => api('PATCH', `/api/connections/${schid}`, {server: {name}})),
    textAction('Add a top-level channel', '', (name) =>
      api('POST', `/api/connections/${schid}/channels`, {name, parent: 0})),
  ];
}

function drawInspector() {
  const body = $('inspector-body');
  const connection = selected && connectionOf(selected.schid);
  let entity = null;
  if (connection && selected.kind === 'client') entity = connection.clients.find((c) => c.id === selected.id);
  else if (connection && selected.kind === 'channel') entity = connection.channels.find((c) => c.id === selected.id);
  else if (connection) entity = connection;
  // Redrawn only when what it shows changed, and never under the user's typing.
  const key = JSON.stringify([selected, entity, selected && selected.kind !== 'connection' && connection.channels]);
  if (key === inspectorKey || body.contains(document.activeElement)) return;
  inspectorKey = key;
  if (!entity) {
    body.replaceChildren(element('p', {className: 'hint', textContent: 'Nothing selected.'}));
  } else if (selected.kind === 'client') {
    body.replaceChildren(...inspectClient(connection, entity));
  } else if (selected.kind === 'channel') {
    body.replaceChildren(...inspectChannel(connection, entity));
  } else {
    body.replaceChildren(...inspectConnection(entity));
  }
}

// ---- Failure rules --------------------------------------------------------------------------

function describeRule(rule) {
  const only = ['schid', 'client', 'channel', 'property'].filter((k) => k in rule).map((k) => `${k} ${rule[k]}`);
  const times = 'count' in rule ? `the next ${rule.count}` : 'every';
  return `${rule.fn}: ${times} call${rule.count === 1 ? '' : 's'}` +
    (rule.skip ? ` after ${rule.skip} let through` : '') + (only.length ? ` (${only.join(', ')})` : '') +
    ` fail with code ${rule.code}; matched ${rule.matched} so far` +
    ('count' in rule && rule.matched >= rule.skip + rule.count ? ', used up' : '');
}

function drawRules() {
  const list = $('rules');
  const items = state.failures.map((rule) => element('li', {textContent: describeRule(rule)}));
  list.replaceChildren(...(items.length ? items : [element('li', {className: 'hint', textContent: 'No rule armed.'})]));
}

function armRule(event) {
  event.preventDefault();
  const form = event.target;
  const rule = {fn: form.fn.value};
  for (const name of ['count', 'skip', 'code', 'client', 'channel', 'property']) {
    if (form[name].value !== '') rule[name] = Number(form[name].value);
  }
  api('POST', '/api/failures', rule).catch(() => {});
}

// ---- What the display did -------------------------------------------------------------------

function clock(ms) {
  return new Date(ms).toLocaleTimeString([], {hour12: false});
}

function drawActivity(changes) {
  const list = $('activity');
  for (const entry of changes.entries) {
    let item = activityItems.get(entry.id);
    if (!item) {
      item = element('li', {dataset: {command: entry.command}});
      activityItems.set(entry.id, item);
      list.prepend(item);
    }
    const read = ['server', 'channels', 'clients'].includes(entry.command);
    item.className = (read ? 'read' : 'action') + (entry.error ? ' failed' : '');
    item.replaceChildren(element('span', {className: 'time', textContent: clock(entry.lastMs)}), entry.text);
    if (entry.times > 1) item.append(' ', element('span', {className: 'times', textContent: `\u00d7${entry.times}`}));
    if (entry.error) item.append(` \u2014 failed with error ${entry.error}`);
  }
  while (list.children.length > MAX_ACTIVITY_ITEMS) {
    const last = list.lastElementChild;
    for (const [id, item] of activityItems) if (item === last) activityItems.delete(id);
    last.remove();
  }
  const counts = Object.entries(changes.counts).sort((a, b) => b[1] - a[1]);
  $('counts').tBodies[0].replaceChildren(...counts.map(([command, count]) => element('tr', {dataset: {command}},
    element('td', {textContent: command}), element('td', {className: 'n', textContent: String(count)}))));
}

// ---- Scenarios ------------------------------------------------------------------------------

async function loadExamples() {
  const names = await api('GET', '/api/examples');
  $('example').replaceChildren(...names.map((name) => element('option', {value: name, textContent: name})));
}

function loadScenarioFile(event) {
  const file = event.target.files[0];
  if (!file) return;
  file.text().then((text) => api('PUT', '/api/scenario', text)).catch(() => {}).finally(() => {
    event.target.value = '';
  });
}

// ---- Remote apps ----------------------------------------------------------------------------

// Programs asking for approval come and go without a model change, so the section polls.
const REMOTE_APPS_POLL_MS = 1000;
let remoteAppsKey = '';
let bindingsKey = '';  // the model's bindings at the last state event

function drawRemoteApps(view) {
  const key = JSON.stringify(view);
  if (key === remoteAppsKey) return;
  remoteAppsKey = key;
  $('remote-apps-summary').textContent =
    `ws://127.0.0.1:${view.port}, approval: ${view.approval}; ${view.apps} connected, ${view.knownKeys} known keys`;
  const decide = (request, verdict) => () =>
    api('POST', `/api/remote-apps/requests/${request}/${verdict}`).then(pollRemoteApps).catch(() => {});
  $('remote-apps-pending').replaceChildren(...view.pending.map((app) => element('li', {dataset: {request: app.request}},
    element('b', {textContent: app.name || '(no name)'}), ` (${app.identifier}) asks for approval `,
    element('button', {type: 'button', className: 'approve', textContent: 'Approve', onclick: decide(app.request, 'approve')}),
    ' ',
    element('button', {type: 'button', className: 'deny', textContent: 'Deny', onclick: decide(app.request, 'deny')}))));
  drawBindings(view);
}

// Like the client's key-binding dialog: "choose" beside an action waits for the next button
// an approved app presses, which is then taken as the key.
function drawBindings(view) {
  const waiting = view.bindings.find((binding) => binding.action === view.choosing);
  $('binding-wait').hidden = !waiting;
  if (waiting) {
    $('binding-wait-text').textContent = `Waiting for a key for ${waiting.label}: the next button an approved ` +
      'app presses becomes its key, and does nothing else. ';
  }
  const choose = (action) => () =>
    api('POST', `/api/remote-apps/bindings/${action}/choose`).then(pollRemoteApps).catch(() => {});
  $('bindings').tBodies[0].replaceChildren(...view.bindings.map((binding) => element('tr',
    {dataset: {action: binding.action}, className: binding.action === view.choosing ? 'choosing' : ''},
    element('td', {textContent: binding.label}),
    element('td', {className: 'buttons', textContent: binding.buttons.length ? binding.buttons.join(', ') : 'not bound'}),
    element('td', {}, element('button', {type: 'button', className: 'choose',
      textContent: binding.action === view.choosing ? 'waiting\u2026' : 'choose', onclick: choose(binding.action)})))));
}

// Not through api(): a poll must not wipe the message of a failed click.
async function pollRemoteApps() {
  const response = await fetch('/api/remote-apps');
  if (!response.ok) throw new Error(String(response.status));
  const view = await response.json();
  $('remote-apps').hidden = !view.enabled;
  if (view.enabled) drawRemoteApps(view);
  return view.enabled;
}

function watchRemoteApps() {
  pollRemoteApps().then((enabled) => { if (enabled) setTimeout(watchRemoteApps, REMOTE_APPS_POLL_MS); })
    .catch(() => setTimeout(watchRemoteApps, REMOTE_APPS_POLL_MS));
}

// ---- Live link ------------------------------------------------------------------------------

function drawState() {
  if (!state) return;
  drawTree();
  drawInspector();
  drawRules();
}

function connect() {
  const events = new EventSource('/api/events');
  const link = $('link');
  events.onopen = () => { link.textContent = 'live'; link.className = 'link up'; };
  events.onerror = () => {
    link.textContent = 'reconnecting';
    link.className = 'link down';
    // The browser retries a lost stream by itself, but not one refused with an error status.
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
  };
  events.addEventListener('state', (event) => {
    state = JSON.parse(event.data);
    drawState();
    // A key taken ends the wait: show it now rather than at the next poll.
    const bindings = JSON.stringify(state.bindings || {});
    if (bindings !== bindingsKey) {
      bindingsKey = bindings;
      if (!$('remote-apps').hidden) pollRemoteApps().catch(() => {});
    }
  });
  events.addEventListener('activity', (event) => drawActivity(JSON.parse(event.data)));
}

document.addEventListener('DOMContentLoaded', () => {
  $('arm').fn.replaceChildren(...HOST_FUNCTIONS.map((fn) => element('option', {value: fn, textContent: fn})));
  $('arm').addEventListener('submit', armRule);
  $('disarm').addEventListener('click', () => api('DELETE', '/api/failures').catch(() => {}));
  $('load-example').addEventListener('click', () =>
    api('POST', `/api/examples/${$('example').value}`).catch(() => {}));
  $('scenario-file').addEventListener('change', loadScenarioFile);
  $('forget-keys').addEventListener('click', () =>
    api('DELETE', '/api/remote-apps/keys').then(pollRemoteApps).catch(() => {}));
  $('binding-cancel').addEventListener('click', () =>
    api('DELETE', '/api/remote-apps/choosing').then(pollRemoteApps).catch(() => {}));
  $('forget-bindings').addEventListener('click', () =>
    api('DELETE', '/api/remote-apps/bindings').then(pollRemoteApps).catch(() => {}));
  loadExamples().catch(() => {});
  watchRemoteApps();
  connect();
});
