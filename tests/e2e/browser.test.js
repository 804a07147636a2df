'use strict';
// The controller and the setup page in a real browser: Debian's Chromium, headless, phone-sized with
// touch, driven over the DevTools protocol, with the application, the real server and a private JACK
// server. As root it runs in a network of its own, where the link names an address a phone would
// use (so the page runs as on a phone: not a "secure context" as loopback is).
// TOVRA_SCREENSHOTS_DIR=docs keeps its screenshots there.
const { ownNetwork } = require('../support/network');
const network = ownNetwork(__filename);

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib');
const { CHROMIUM } = require('../support/browser');

const JACK_PORT = 'Tovra Bridge:midi_out';
const missing = ['zbarimg'].concat(CHROMIUM).find((tool) => spawnSync(tool, ['--version']).status !== 0);
const NOT_PAIRED = 'Not paired \u2014 open the link from your computer again';
// What the controller sends for its faders on each connection: their values as they start.
const FADERS_AT_START = ['b0 01 00', 'b0 07 64', 'b0 0a 40', 'b0 0b 7f', 'b0 47 40', 'b0 4a 40', 'b0 5b 28', 'b0 5d 00'];

// Polled on a timer: a page in a tab behind another gets no animation frames.
const showsStatus = (page, text, timeout = 10000) =>
  page.waitForFunction((want) => document.getElementById('status-text').textContent === want, { timeout, polling: 50 }, text);
// Where on the screen a control is: its box in CSS pixels.
const box = (page, selector) => page.$eval(selector, (e) => { const r = e.getBoundingClientRect(); return { x: r.x, y: r.y, width: r.width, height: r.height }; });
const hex = (n) => n.toString(16).padStart(2, '0');
// The velocity of a pad struck at height `y` (whole pixels, as touches are): loud at the top.
const velocityAt = (pad, y) => Math.max(1, Math.min(127, Math.round(24 + ((pad.y + pad.height - y) / pad.height) * 103)));

test('the controller in Chromium: "Connected", a drag and a tap as MIDI, back by itself after the bridge dies, the setup page\'s QR code, "Forget"',
  { skip: missing && `${missing} is not installed (./dev installs chromium and zbar-tools)` }, async (t) => {
    const { launchBrowser, phonePage } = require('../support/browser');
    if (!network.inside) t.diagnostic(network.reason);
    const shots = process.env.TOVRA_SCREENSHOTS_DIR ? path.resolve(process.env.TOVRA_SCREENSHOTS_DIR) : null;
    const s = await h.session({ t });
    const jack = await s.jack();
    const app = s.start(jack.env);
    const server = await s.ready(app);
    const link = (await s.run('--phone-link')).out.trim();
    if (network.inside) assert.equal(new URL(link).hostname, '10.77.0.1');
    const shot = (name) => path.join(shots ?? s.root, name);

    const { browser, close } = await launchBrowser();
    t.after(close);
    const errors = [];
    const open = async (options) => {
      const page = await phonePage(browser, options);
      page.on('pageerror', (err) => errors.push(err.message));
      return page;
    };

    // Paired and connected by the link alone; the faders' values sent once.
    const recorder = await h.record(jack, JACK_PORT, h.BUILD);
    const page = await open();
    await page.goto(link);
    await showsStatus(page, 'Connected');
    assert.equal(await page.evaluate(() => location.search), '', 'the token is gone from the address');
    assert.deepEqual(await recorder.wait(8), FADERS_AT_START);
    await h.waitFor('"Ready \u00B7 1 phone"', async () => (await s.run('--status')).out === 'Ready \u00B7 1 phone\n');

    // What assistive technology is told: sliders named by what they control, with their values (as
    // sent above); pads named by their notes; the channel choice.
    const nodes = [];
    const walk = (node) => { nodes.push(node); (node.children ?? []).forEach(walk); };
    walk(await page.accessibility.snapshot());
    assert.deepEqual(nodes.filter((n) => n.role === 'slider').map((n) => `b0 ${hex(Number(/\(control (\d+)\)$/.exec(n.name)?.[1]))} ${hex(n.value)}`),
      FADERS_AT_START);
    const pads = nodes.filter((n) => n.role === 'button').map((n) => n.name);
    assert.ok(pads.length === 16 && pads.every((name) => /^[A-G]\u266F?[23]$/.test(name)) && pads.at(-4) === 'C2', pads.join(' '));
    assert.ok(nodes.some((n) => n.role === 'combobox' && n.name === 'MIDI channel'), 'the channel choice');

    // A drag up the Volume fader: each step a control change, as the page shows it.
    const track = await box(page, '.fader:nth-child(2) .fader-track');
    const x = track.x + track.width / 2;
    const steps = [0.75, 0.5, 0.25].map((f) => Math.round(track.y + f * track.height));
    const expected = steps.map((y) => Math.round(((track.y + track.height - y) / track.height) * 127));
    await page.touchscreen.touchStart(x, steps[0]);
    for (const [i, y] of steps.entries()) {
      if (i > 0) await page.touchscreen.touchMove(x, y);
      await page.waitForFunction((want) => document.querySelector('.fader:nth-child(2)').getAttribute('aria-valuenow') === want, { polling: 50 }, String(expected[i]));
    }
    await page.touchscreen.touchEnd();
    // A tap near the top of the pad C2 (bottom left): loud.
    const c2 = await box(page, 'button[aria-label="C2"]');
    const [c2x, top] = [Math.round(c2.x + c2.width / 2), Math.round(c2.y + 0.2 * c2.height)];
    await page.touchscreen.tap(c2x, top);
    assert.ok(velocityAt(c2, top) > 100);
    assert.deepEqual((await recorder.wait(13)).slice(8),
      [...expected.map((v) => `b0 07 ${hex(v)}`), `90 24 ${hex(velocityAt(c2, top))}`, '80 24 00']);
    await recorder.stop();

    // Made for a phone in either orientation and scheme: every target at least 44 px, nothing to scroll.
    for (const [landscape, dark] of [[false, false], [false, true], [true, false], [true, true]]) {
      const view = landscape || dark ? await open({ landscape, dark }) : page;
      if (view !== page) await view.goto(new URL('/controller', link).href); // by the phone's cookie, without the token
      await showsStatus(view, 'Connected');
      const sizes = await view.$$eval('.fader, .pad, #channel', (all) => all.map((e) => [e.getBoundingClientRect().width, e.getBoundingClientRect().height]));
      assert.equal(sizes.length, 8 + 16 + 1);
      for (const [width, height] of sizes) assert.ok(width >= 44 && height >= 44, `${width} x ${height}`);
      assert.deepEqual(await view.evaluate(() => [document.documentElement.scrollWidth <= innerWidth, document.documentElement.scrollHeight <= innerHeight,
        getComputedStyle(document.body).touchAction, getComputedStyle(document.body).backgroundColor]),
      [true, true, 'none', dark ? 'rgb(11, 11, 13)' : 'rgb(242, 242, 247)']);
      // A finger held on a pad while the picture is taken.
      const pad = await box(view, `button[aria-label="${landscape ? 'E2' : 'F\u266F2'}"]`);
      await view.touchscreen.touchStart(pad.x + pad.width / 2, pad.y + pad.height / 3);
      await view.waitForSelector('.pad.lit');
      await view.screenshot({ path: shot(`controller-${landscape ? 'landscape' : 'portrait'}-${dark ? 'dark' : 'light'}.png`) });
      await view.touchscreen.touchEnd();
      if (view !== page) await view.close();
    }

    // The bridge dies: the page says so, plays nothing meanwhile, and is back by itself once the
    // application has started the bridge again; then it sends its faders once, and nothing stale.
    process.kill(server, 'SIGKILL');
    await showsStatus(page, 'Reconnecting\u2026');
    const d2 = await box(page, 'button[aria-label="D2"]');
    await page.touchscreen.tap(d2.x + d2.width / 2, d2.y + d2.height / 2);
    await showsStatus(page, 'Connected', 15000);
    const counts = async () => JSON.parse((await h.get('/api/phones')).body).sockets.sent;
    await h.waitFor('the faders\' values', async () => (await counts()) === 8);
    await h.waitFor('the JACK output again', () => jack.ports()?.includes(JACK_PORT));
    const again = await h.record(jack, JACK_PORT, h.BUILD);
    const middle = Math.round(c2.y + c2.height / 2);
    await page.touchscreen.tap(c2x, middle);
    assert.deepEqual(await again.wait(2), [`90 24 ${hex(velocityAt(c2, middle))}`, '80 24 00']);
    await again.stop();
    assert.equal(await counts(), 10, 'the faders once, then the tap; nothing from while it was away');

    // The setup page: its QR code is the private link, and "Forget" unpairs the phone at once.
    const setup = await browser.newPage();
    await setup.setViewport({ width: 900, height: 1000, deviceScaleFactor: 2 });
    await setup.goto(`http://localhost:${h.PORT}/setup`);
    const qr = await setup.$('.qr');
    await qr.screenshot({ path: path.join(s.root, 'qr.png') });
    const decoded = spawnSync('zbarimg', ['--quiet', '--raw', path.join(s.root, 'qr.png')], { encoding: 'utf8' });
    assert.equal(decoded.stdout, `${link}\n`, decoded.stderr);
    assert.equal(await setup.$eval('#phone-link', (e) => e.textContent), link);
    assert.equal(await setup.$('#no-network') !== null, !network.inside, 'the note where no phone can reach the link');
    await setup.waitForSelector('.online');
    await setup.screenshot({ path: shot('setup.png'), fullPage: true });
    assert.deepEqual(await setup.$$eval('.phone-name', (all) => all.map((e) => e.textContent)), ['Pixel 8 \u00B7 Chrome']);
    const forgotten = setup.waitForResponse((r) => r.url().endsWith('/api/phones/forget') && r.status() === 200);
    await setup.$eval('button[data-forget]', (button) => button.click());
    await forgotten;
    await showsStatus(page, NOT_PAIRED, 3000);
    assert.equal(await page.$eval('#notice', (e) => e.hidden), false);
    await setup.waitForSelector('.empty');
    await h.waitFor('"Ready \u00B7 0 phones"', async () => (await s.run('--status')).out === 'Ready \u00B7 0 phones\n');
    // Opened again without the link, the page tells the same.
    await page.reload();
    assert.match(await page.$eval('#status', (e) => e.textContent), new RegExp(NOT_PAIRED));
    assert.deepEqual(errors, []);
    t.diagnostic(`screenshots in ${shots ?? s.root}`);
  });
