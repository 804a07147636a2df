'use strict';
// Debian's Chromium, headless, driven over the DevTools protocol by puppeteer-core: a browser with
// an empty profile of its own, and pages the size of a phone with touch, in either orientation
// and colour scheme. Nothing is downloaded: the browser is the system's.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');
const { PIXEL } = require('./phone');

const CHROMIUM = process.env.TOVRA_CHROMIUM || '/usr/bin/chromium';
// Headless, and nothing of its own on the network: this machine's network is closed, and a test
// talks to the bridge alone.
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync', '--lang=en-US', '--hide-scrollbars'];

async function launchBrowser() {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-chromium-'));
  const browser = await puppeteer.launch({ executablePath: CHROMIUM, headless: false, args: FLAGS, userDataDir, pipe: true });
  return {
    browser,
    async close() {
      await browser.close();
      fs.rmSync(userDataDir, { recursive: true, force: true });
    },
  };
}

// A phone's screen: 390 x 844 CSS px (turned: 844 x 390), touch, its user agent, light or dark.
async function phonePage(browser, { landscape = false, dark = false } = {}) {
  const page = await browser.newPage();
  const [width, height] = landscape ? [844, 390] : [390, 844];
  await page.emulate({ userAgent: PIXEL, viewport: { width, height, deviceScaleFactor: 2, isMobile: true, hasTouch: true, isLandscape: landscape } });
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: dark ? 'dark' : 'light' }]);
  return page;
}

module.exports = { launchBrowser, phonePage, CHROMIUM };
