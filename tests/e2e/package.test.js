'use strict';
// The Debian package unpacked into a temporary root and run from there as if installed: the bridge
// from the packaged server and runtime, the setup page once, a login entry naming the packaged launcher.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const h = require('./lib');

const built = path.resolve(__dirname, '../../build-package');
const deb = process.env.TOVRA_DEB || (fs.existsSync(built) &&
  fs.readdirSync(built).filter((f) => /^tovra-bridge_.*\.deb$/.test(f)).map((f) => path.join(built, f))[0]);

test('the package, unpacked, runs as installed', { skip: !deb && 'no package: run ./dev package, or set TOVRA_DEB' }, async (t) => {
  const root = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-package-')));
  const binary = path.join(root, 'usr/bin/tovra-bridge');
  let s;
  t.after(async () => { await s?.cleanup(); fs.rmSync(root, { recursive: true, force: true }); });
  s = await h.session({ binary });
  s.env.JACK_DEFAULT_SERVER = `tovra-test-none-${process.pid}`; // no JACK server: the module still loads
  execFileSync('dpkg-deb', ['-x', deb, root]);
  const depends = execFileSync('dpkg-deb', ['-f', deb, 'Depends'], { encoding: 'utf8' });
  assert.match(depends, /(^|, )nodejs \(>= 18\.2\.0\), xdg-utils(,|\s*$)/);
  assert.match(depends, /(^|, )libasound2 \(>= [^)]+\)(,|\s*$)/);
  assert.doesNotMatch(depends, /libjack/, 'JACK is recommended, not required');
  assert.match(execFileSync('dpkg-deb', ['-f', deb, 'Recommends'], { encoding: 'utf8' }), /libjack-jackd2-0/);
  for (const file of ['applications/tovra-bridge.desktop', 'metainfo/com.tovra.bridge.metainfo.xml',
    'icons/hicolor/scalable/apps/tovra-bridge.svg', 'man/man1/tovra-bridge.1.gz']) {
    assert.ok(fs.existsSync(path.join(root, 'usr/share', file)), `${file} is missing`);
  }
  // The bridge server's guard, beside the application that starts it.
  fs.accessSync(path.join(root, 'usr/libexec/tovra-bridge/tovra-guard'), fs.constants.X_OK);
  // The runtime is /usr/bin/node; a relative link reaches it inside the root, where nodejs would put it.
  const runtime = path.join(root, 'usr/share/tovra-bridge/runtime/node-arm64');
  const node = path.resolve(path.dirname(runtime), fs.readlinkSync(runtime));
  assert.ok(['/usr/bin/node', path.join(root, 'usr/bin/node')].includes(node), `the runtime links to ${node}`);
  if (node !== '/usr/bin/node') fs.symlinkSync(process.execPath, node);
  const app = s.start();
  const server = await s.ready(app);
  assert.deepEqual(h.cmdline(server), ['node', path.join(root, 'usr/share/tovra-bridge/app/server.js')]);
  // The packaged server finds its MIDI module under usr/lib and tells the packaged version.
  assert.ok(fs.existsSync(path.join(root, 'usr/lib/tovra-bridge/tovra_midi.node')));
  assert.match(s.log(), /MIDI output JACK unavailable: no JACK server/);
  assert.doesNotMatch(s.log(), /MIDI module cannot be loaded/);
  assert.equal(JSON.parse((await h.get('/health')).body).version, h.VERSION);
  assert.equal(h.cmdline(h.stat(server).ppid)[0], 'tovra-guard');
  // The server's npm packages ship beside it: the setup page's QR code comes from one.
  assert.ok(fs.existsSync(path.join(root, 'usr/share/tovra-bridge/app/node_modules/ws/package.json')));
  assert.match((await h.get('/setup')).body, /<div class="qr"><svg /);
  await h.waitFor('the setup page', () => s.opened().length);
  assert.ok(h.read(s.autostart).split('\n').includes(`Exec=${binary} --login`), h.read(s.autostart));
});
