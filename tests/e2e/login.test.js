'use strict';
// Start at login, switched from the menu: the choice outlives the program, and an entry the user
// edited is kept.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const h = require('./lib');

test('Start Tovra at Login switched off stays off across a restart, and on again from the menu; an edited entry is kept', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  const host = s.host('watcher', 'notifications');
  await host.event('ready');
  const shows = (state) => h.waitFor(`the login entry ${state}`, async () =>
    (await host.read()).entries.includes(`Start Tovra at Login (${state})`));
  // A user's own way of starting it: env with a variable before the program.
  fs.mkdirSync(`${s.home}/.config/autostart`, { recursive: true });
  const edited = `[Desktop Entry]\nType=Application\nName=Tovra, my way\nExec=env QT_SCALE_FACTOR=2 ${s.binary} --login\n`;
  fs.writeFileSync(s.autostart, edited);

  let app = s.start();
  await host.event('registered');
  await shows('on');
  assert.equal(h.read(s.autostart), edited, 'the edited entry was rewritten');
  host.click('Start Tovra at Login');
  await shows('off');
  assert.equal(h.read(s.autostart), `${edited}Hidden=true\n`);
  assert.equal(spawnSync('desktop-file-validate', [s.autostart]).status, 0);
  host.click('Quit Tovra for Now');
  assert.deepEqual(await app.exited, { code: 0, signal: null });

  app = s.start();
  await host.event('registered', host.events.findLastIndex((e) => e.kind === 'registered') + 1);
  await shows('off');
  assert.equal(h.read(s.autostart), `${edited}Hidden=true\n`, 'the start switched it on again');
  host.click('Start Tovra at Login');
  await shows('on');
  assert.equal(h.read(s.autostart), `${edited}Hidden=false\nX-GNOME-Autostart-enabled=true\n`);
  host.click('Quit Tovra for Now');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});
