'use strict';
// The program on a real GNOME Shell (headless, Wayland, the window on Xwayland as the program
// chooses there), driven as a person would: a pointer that clicks, controls found by their names.
// Needs Debian's gnome-shell and the desk tool of the shared tools; reported skipped without them.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const BUILD = process.env.TOVRA_BUILD_DIR || path.resolve(__dirname, '../../build');
const DESK = process.env.TOVRA_REALDESK || path.resolve(__dirname, '../../../shared/tools/realdesk/desk');
const ROUNDS = 5;
const missing = [
  !fs.existsSync('/usr/bin/gnome-shell') && 'gnome-shell is not installed (./dev gnome-test installs it)',
  !fs.existsSync(DESK) && `no desk tool at ${DESK}`,
  process.getuid() !== 0 && 'the desk runs its session as a user of its own: run as root',
].find(Boolean);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function waitFor(what, check, timeout = 30000) {
  let value;
  for (const end = Date.now() + timeout; !(value = check()); await sleep(100)) {
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
  }
  return value;
}

test('Copy Private Phone Link, then Quit in the window: GNOME Shell lives on, five times out of five', { skip: missing }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-gnome-'));
  fs.chmodSync(dir, 0o1777);
  const desk = (...args) => spawnSync(DESK, args, { env: { ...process.env, DESK_DIR: dir }, encoding: 'utf8' });
  const as = (command) => desk('run', command).stdout.trim();
  // One expression evaluated by the shell; its answer as JSON text.
  const shell = (expression) => as(`gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.gnome.Shell.Eval ${JSON.stringify(expression).replace(/\$/g, '\\$')}`);
  // A private JACK server (the dummy driver) for the bridge's MIDI output, so that the bridge gets
  // ready as on a music computer. Found through the accessibility bus by the names of its controls.
  const jack = `tovra-gnome-${process.pid}`;
  const binary = `JACK_DEFAULT_SERVER=${jack} QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 ${path.join(BUILD, 'bin/tovra-bridge')}`;
  const started = [];
  t.after(() => {
    for (const pid of started) as(`kill ${pid} 2>/dev/null`);
    desk('stop');
    fs.rmSync(dir, { recursive: true, force: true });
  });
  assert.equal(desk('gnome').status, 0, 'the shell did not start');
  // JACK has room for eight servers on a machine, other tests' included: one that ends at its start
  // is started again, for up to a minute and a half.
  for (const end = Date.now() + 90000; ;) {
    fs.rmSync(`${dir}/jack.pid`, { force: true });
    spawn(DESK, ['run', `echo $$ > ${dir}/jack.pid && exec jackd -n ${jack} -d dummy -r 48000 -p 64 > ${dir}/jack.log 2>&1 < /dev/null`],
      { env: { ...process.env, DESK_DIR: dir }, detached: true, stdio: 'ignore' }).unref();
    const jackd = Number(await waitFor('the JACK server', () => fs.existsSync(`${dir}/jack.pid`) && fs.readFileSync(`${dir}/jack.pid`, 'utf8').trim()));
    started.push(jackd);
    const state = await waitFor('the JACK server to take clients or end', () =>
      as(`JACK_DEFAULT_SERVER=${jack} jack_lsp >/dev/null 2>&1 && echo up || kill -0 ${jackd} 2>/dev/null || echo ended`));
    if (state === 'up') break;
    assert.ok(Date.now() < end, `the JACK server did not start:\n${fs.readFileSync(`${dir}/jack.log`, 'utf8')}`);
    await sleep(500);
  }
  for (let round = 1; round <= ROUNDS; round++) {
    shell('Main.overview.hide()');
    fs.rmSync(`${dir}/app.pid`, { force: true });
    // Started as the session's user, in its environment, and left running: its pid is the shell's it replaces.
    spawn(DESK, ['run', `cd /tmp && echo $$ > ${dir}/app.pid && exec env ${binary} > ${dir}/app.log 2>&1 < /dev/null`],
      { env: { ...process.env, DESK_DIR: dir }, detached: true, stdio: 'ignore' }).unref();
    const pid = Number(await waitFor('the program', () => fs.existsSync(`${dir}/app.pid`) && fs.readFileSync(`${dir}/app.pid`, 'utf8').trim()));
    started.push(pid);
    await waitFor('the bridge to be ready', () => as(`${binary} --status`).startsWith('Ready'));
    // Each round's bridge pairs with a token of its own (its data is removed after the round), so the
    // copy of this round is told from the last.
    const link = as(`${binary} --phone-link`);
    assert.match(link, /token=/);
    as(binary); // a second start: the window comes up
    const [x, y, width] = await waitFor('the window', () =>
      /Tovra Bridge[^@\\]*@(-?\d+),(-?\d+) (\d+)x\d+/.exec(desk('windows').stdout)?.slice(1).map(Number));
    // The shell shows its overview at its start; a click there lands on a picture of the window.
    await waitFor('the overview to be hidden', () => shell('Main.overview.hide(); Main.overview.visible') === "(true, 'false')");
    desk('click', String(x + width / 2), String(y + 12)); // its title bar
    const find = (name) => waitFor(name, () => {
      const at = desk('find', 'tovra', name).stdout.trim();
      return /^\d+ \d+$/.test(at) && at.split(' ');
    });
    // The link is on the clipboard before Quit, as a person's copy would be: one who sees it is not
    // there yet clicks again.
    const copied = () => {
      shell('imports.gi.St.Clipboard.get_default().get_text(imports.gi.St.ClipboardType.CLIPBOARD, (c, text) => { global._tovraCopied = text; })');
      return shell('String(global._tovraCopied)').includes(link);
    };
    const copy = await find('Copy Private Phone Link');
    let clicks = 0;
    let nextClick = 0;
    await waitFor('the link on the clipboard', () => {
      if (clicks < 3 && Date.now() >= nextClick) {
        desk('click', ...copy);
        clicks += 1;
        nextClick = Date.now() + 5000;
      }
      return copied();
    });
    desk('click', ...await find('Quit Tovra for Now'));
    await waitFor('the program to end', () => as(`kill -0 ${pid} 2>/dev/null || echo gone`) === 'gone');
    // The shell has let the window go (or has ended on it).
    await waitFor('the shell to let the window go', () => !/Tovra Bridge/.test(desk('windows').stdout));
    assert.equal(desk('alive').status, 0, `round ${round}: GNOME Shell ended:\n${desk('log').stdout.split('\n').slice(-8).join('\n')}`);
    as('rm -rf "$HOME/.local/share/Tovra Automation"');
  }
});
