// Debian's chromium driven by playwright-core, which never downloads a browser: what the
// page's tests and the benchmark share.
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

export const site = process.env.FOLIOSET_WEB_SITE || 'build/web/site';
export const cli = process.env.FOLIOSET_CLI || 'build/release/src/cli/folioset-cli';
export const pageUrl = (query = '') => pathToFileURL(join(site, 'index.html')).href + query;

// A browser with a new empty profile that talks to nobody by itself.
export async function launch() {
  const profile = mkdtempSync(join(tmpdir(), 'folioset-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.FOLIOSET_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const close = async () => {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  };
  return { context, close };
}

// Opens the page and records every request beyond the page's own files and every
// Content-Security-Policy violation it reports.
export async function openPage(context, query = '') {
  const page = await context.newPage();
  const stray = [];
  const own = pathToFileURL(site).href + '/';
  page.on('request', (request) => {
    const url = request.url();
    if (!url.startsWith(own) && !url.startsWith('blob:') && !url.startsWith('data:'))
      stray.push(url);
  });
  page.on('worker', (worker) => { if (!worker.url().startsWith('blob:')) stray.push(worker.url()); });
  await page.addInitScript(() => {
    window.__violations = [];
    document.addEventListener('securitypolicyviolation', (event) =>
      window.__violations.push(`${event.violatedDirective} ${event.blockedURI}`));
  });
  await page.goto(pageUrl(query));
  await page.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
  return { page, stray, violations: () => page.evaluate(() => window.__violations) };
}

// Opens a book through the file picker and waits until it is shown or refused.
export async function openBook(page, file) {
  await page.setInputFiles('#book-file', file);
  await page.waitForFunction(() => !document.body.hasAttribute('aria-busy') &&
    (document.getElementById('error').textContent !== '' || !document.getElementById('book').hidden),
  null, { timeout: 300000 });
}
