'use strict';
// The application on a desktop (Xvfb, a private session bus): a tray that comes late, comes and
// goes, or never comes; a second start; the menu's shortcuts in an XEmbed tray; a bus that is
// stopped; a display that comes late, and goes.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib');

const menu = (status, login) => [`${status} (disabled)`, '---', 'Set Up Phone\u2026 [Control+S]', 'Copy Private Phone Link',
  'Open Controller on This Computer', '---', `Start Tovra at Login (${login})`, 'Restart Bridge', 'Reveal Log', '---',
  `Tovra ${h.VERSION} (disabled)`, 'Quit Tovra for Now [Control+Q]'];
const xdotool = (s, ...args) => spawnSync('xdotool', args, { env: s.env, encoding: 'utf8' }).stdout.trim();
// The program's window, when it is on the screen.
const shownWindow = (s) => xdotool(s, 'search', '--onlyvisible', '--name', '^Tovra Bridge$');
// A display number from `from` on that no X server holds: none is listening there, or the server that
// took it is gone (an X server killed leaves its socket and lock behind, and the next one takes them over).
const freeDisplay = (from) => [...Array(50).keys()].map((n) => n + from).find((n) => !fs.existsSync(`/tmp/.X11-unix/X${n}`)
  || !h.alive(Number(h.read(`/tmp/.X${n}-lock`).trim()) || -1));
// The program's windows by their class: its XEmbed icon, and its menu while open.
const docked = (s) => xdotool(s, 'search', '--onlyvisible', '--classname', 'tovra-bridge');

test('a tray host that registers with its watcher 3 s late shows the item within 1 s, and each change of the bridge; Quit ends it', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  const host = s.host('watcher', 'late', 'notifications');
  await host.event('ready');
  const app = s.start((await s.jack()).env); // a JACK server for the bridge's MIDI output: ready
  const begun = Date.now();
  await h.sleep(3000); // the tray's host comes 3 s late
  host.stdin.write('host\n');
  const shown = Date.now();
  await host.event('registered');
  assert.ok(Date.now() - shown < 1000, `registered ${Date.now() - shown} ms after the tray came`);
  const item = await host.read();
  assert.deepEqual(item.entries, menu(item.entries[0].replace(' (disabled)', ''), 'on'));
  assert.equal(item.tip, `Tovra Automation \u00B7 ${item.entries[0].replace(' (disabled)', '')}`);
  if (!item.entries[0].startsWith('Ready')) assert.equal(item.colour, '#AEAEB2');
  // Each change while the item is shown: its status line, colour and tooltip (which may come a moment apart).
  const shows = (status, colour) => h.waitFor(`${status} in ${colour}`, async () => { const i = await host.read();
    return i.entries[0] === `${status} (disabled)` && i.colour === colour && i.tip === `Tovra Automation \u00B7 ${status}`; });
  process.kill(await s.server(app), 'SIGKILL');
  await shows('Bridge stopped', '#AEAEB2');
  await shows('Ready \u00B7 0 phones', '#34C759');
  // The private link opens, and nothing of it reaches the app's output.
  host.click('Open Controller on This Computer');
  host.click('Reveal Log'); // no file manager on the bus: the folder
  await h.waitFor('the controller, the log folder', () => s.opened().some((url) => url.includes('/controller?token='))
    && s.opened().includes(`file://${s.logFile.replace(/\/[^/]*$/, '')}`));
  // A left click on the item brings up the window; the panel keeps the menu for the other button.
  assert.equal(shownWindow(s), '');
  host.stdin.write('activate\n');
  // Its title exactly, with nothing of Qt's appended.
  assert.equal(xdotool(s, 'getwindowname', await h.waitFor('the window', () => shownWindow(s))), 'Tovra Bridge');
  // The tray shows the item: no notice of a missing one, which would come 15 s after the start. A
  // notice that does not come has no event to wait for: only the time it would have come.
  await h.sleep(begun + 15500 - Date.now());
  assert.deepEqual(host.events.filter((e) => e.kind === 'notify'), []);
  const server = await s.server(app);
  host.click('Quit Tovra for Now');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server to end', () => !h.alive(server));
  assert.doesNotMatch(app.output, /token/);
});

test('no tray: one notice after 15 s and a tray that comes later, and goes and comes ten times; the window from a second start and from the notice', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  const notices = s.host('notifications');
  await notices.event('ready');
  const begun = Date.now();
  const app = s.start();
  const notice = await notices.event('notify', 0, 20000);
  assert.ok(Date.now() - begun >= 15000, `noticed after ${Date.now() - begun} ms`);
  assert.equal(notice.summary, 'Tovra Bridge is running');
  // Its icon by its file's URI: shown also where the icon theme does not hold it.
  assert.equal(notice.icon, `file://${path.resolve(path.dirname(s.binary), '../share/icons/hicolor/scalable/apps/tovra-bridge.svg')}`);
  assert.equal(notice.body, 'Show its window to pair a phone or quit.');
  let fds;
  for (let round = 0; round < 10; round++) {
    const host = s.host('watcher');
    await host.event('registered');
    fds ??= Object.keys(h.fds(app.pid)).length;
    if (round === 9) assert.equal((await host.read()).entries.length, 12);
    host.stdin.end();
    await host.exited;
  }
  assert.ok(Object.keys(h.fds(app.pid)).length <= fds + 2, `descriptors: ${fds} then ${Object.keys(h.fds(app.pid)).length}`);
  // A start by the login entry leaves without a window; one from the applications menu brings it up.
  assert.deepEqual(await s.start({}, ['--login']).exited, { code: 0, signal: null });
  await h.sleep(500); // a window that does not come: no event to wait for
  assert.equal(shownWindow(s), '', 'a window came by itself or for the login entry');
  const second = s.start();
  const started = Date.now();
  assert.deepEqual(await second.exited, { code: 0, signal: null });
  assert.ok(Date.now() - started < 500, `the second start took ${Date.now() - started} ms`);
  const window = await h.waitFor('the window', () => shownWindow(s));
  // Its commands by their shortcuts; closing it quits nothing; the notice's action brings it back.
  xdotool(s, 'windowfocus', '--sync', window, 'key', 'ctrl+s');
  await h.waitFor('the setup page', () => s.opened().filter((url) => url.endsWith('/setup')).length === 2);
  xdotool(s, 'windowfocus', '--sync', window, 'key', 'ctrl+w');
  await h.waitFor('the window to close', () => shownWindow(s) === '');
  assert.equal((await s.run('--status')).code, 0);
  notices.stdin.write('invoke\n');
  const again = await h.waitFor('the window again', () => shownWindow(s));
  xdotool(s, 'windowfocus', '--sync', again, 'key', 'ctrl+q');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  assert.deepEqual(notices.events.filter((e) => e.kind === 'notify').map((e) => [e.app, e.summary, e.actions]),
    [['Tovra Bridge', notice.summary, ['default', 'Show Window', 'show', 'Show Window']]]);
});

test('an XEmbed tray there before the start: keys pressed into the menu of either click', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  s.spawn('trayer', ['--edge', 'top', '--align', 'right']);
  await h.waitFor('the tray', () => xdotool(s, 'search', '--classname', 'trayer'));
  const app = s.start();
  const icon = await h.waitFor('the XEmbed icon', () => docked(s));
  // The tray docks the icon a pixel wide and gives it its size a moment later: clicks wait for that.
  await h.waitFor('the icon at its size', () => {
    const [width, height] = (/Geometry: (\d+)x(\d+)/.exec(xdotool(s, 'getwindowgeometry', icon)) || []).slice(1).map(Number);
    return width >= 10 && height >= 10;
  });
  // The keys go to the menu once it is on the screen: a window of the program's beside its icon.
  const windows = () => docked(s).split('\n').filter(Boolean);
  const press = async (button, keys) => {
    xdotool(s, 'mousemove', '--window', icon, '5', '5', 'click', button);
    await h.waitFor(`the menu of button ${button}`, () => windows().length > 1);
    xdotool(s, 'key', keys);
  };
  await press('1', 'ctrl+s'); // the menu the program opens; then the tray's own
  await h.waitFor('Set Up Phone', () => s.opened().filter((url) => url.endsWith('/setup')).length === 2);
  await h.waitFor('the menu to close', () => windows().length === 1);
  await press('3', 'ctrl+q');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});

test('a session bus that is stopped holds up nothing: the bridge starts, SIGTERM ends it, a second start leaves', async (t) => {
  const s = await h.session({ t });
  const { bus } = await s.desktop();
  t.after(() => { try { process.kill(bus.pid, 'SIGCONT'); } catch {} });
  process.kill(bus.pid, 'SIGSTOP');
  const begun = Date.now();
  const app = s.start();
  await s.server(app);
  assert.ok(Date.now() - begun < 1500, `the bridge started after ${Date.now() - begun} ms`);
  const second = s.start();
  const started = Date.now();
  assert.deepEqual(await second.exited, { code: 0, signal: null });
  assert.ok(Date.now() - started < 500, `the second start took ${Date.now() - started} ms`);
  await h.sleep(1000); // SIGTERM comes while it asks its bus, and asks again
  process.kill(app.pid, 'SIGTERM');
  const ending = Date.now();
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  assert.ok(Date.now() - ending < 1000, `SIGTERM took ${Date.now() - ending} ms`);
});

test('a StatusNotifier tray replaced by an XEmbed tray and back: the item follows within 1 s, showing the status', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  let host = s.host('watcher');
  s.start((await s.jack()).env); // a JACK server for the bridge's MIDI output: ready
  await host.event('registered');
  await h.waitFor('readiness', async () => (await host.read()).entries[0] === 'Ready \u00B7 0 phones (disabled)');
  host.stdin.end();
  const tray = s.spawn('trayer', ['--edge', 'top', '--align', 'right']);
  await h.waitFor('the XEmbed tray', () => xdotool(s, 'search', '--classname', 'trayer'));
  await h.waitFor('the item in it', () => docked(s), 1000);
  process.kill(tray.pid, 'SIGKILL');
  host = s.host('watcher');
  await host.event('ready');
  const came = Date.now();
  await host.event('registered', 0, 1000);
  assert.ok(Date.now() - came < 1000);
  assert.equal((await host.read()).entries[0], 'Ready \u00B7 0 phones (disabled)');
  assert.equal(docked(s), '', 'still docked where no tray is');
});

test('a display that comes 2 s after the start: the program waits, starts on it with its tray; the X server gone: it ends as Quit does', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  const number = freeDisplay(150);
  // Killed, the X server leaves its socket and lock behind: gone with the test, so runs do not use the numbers up.
  t.after(() => { for (const file of [`/tmp/.X11-unix/X${number}`, `/tmp/.X${number}-lock`]) fs.rmSync(file, { force: true }); });
  const host = s.host('watcher');
  await host.event('ready');
  const app = s.start({ DISPLAY: `:${number}` });
  await h.sleep(2000); // the display comes 2 s late
  assert.deepEqual(s.servers(app), [], 'started before its display');
  const x = s.display(`:${number}`);
  await host.event('registered');
  const server = await s.server(app);
  process.kill(x.pid, 'SIGKILL');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server to end', () => !h.alive(server));
});
