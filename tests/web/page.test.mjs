// The page in a real browser: a brand downloads the same bytes folioset-cli writes, bad books
// are refused in the native programs' words, nothing leaves the page, the keyboard suffices.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, copyFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launch, openPage, openBook, cli } from './browser.mjs';

const samples = 'tests/data/samples';
const typical = join(samples, 'typical.exe');
const icon = join(samples, 'icons', 'brand_3.ico');
const stamp = 1767225600; // 2026-01-01 00:00 UTC
const work = mkdtempSync(join(tmpdir(), 'folioset-web-'));
let browser;

before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

function cliBrand(book, sets, iconFile) {
  const out = join(work, `cli-${Date.now()}.exe`);
  const args = ['brand', '--code-page', '1252', '--quiet', '-o', out];
  for (const [name, value] of sets) args.push('-s', `${name}=${value}`);
  if (iconFile) args.push('--icon', iconFile);
  args.push(book);
  execFileSync(cli, args, { env: { ...process.env, SOURCE_DATE_EPOCH: String(stamp) } });
  return readFileSync(out);
}

async function setValue(page, name, value) {
  const row = page.locator('#grid tbody tr', { has: page.locator('th', { hasText: name }) });
  await row.locator('input').fill(value);
}

async function brandAndDownload(page) {
  const [download] = await Promise.all([page.waitForEvent('download', { timeout: 300000 }),
    page.click('#brand')]);
  return readFileSync(await download.path());
}

test('a brand downloads the bytes folioset-cli writes, with nothing sent and no policy broken', async () => {
  const { page, stray, violations } = await openPage(browser.context, `?stamp=${stamp}`);
  await page.selectOption('#code-page', '1252');
  await openBook(page, typical);
  assert.equal(await page.textContent('#error'), '');
  assert.equal(await page.textContent('#book-title'), 'The Garden Handbook by Mara Quill');
  assert.equal(await page.textContent('#book-signature'), 'Not signed');
  await setValue(page, 'Company', 'Lee & Park');
  await setValue(page, 'Website', 'https://lee.example');
  // The reference follows live, and the changed rows are marked.
  await page.waitForFunction(() => document.body.textContent.includes('Copyright 2025 Lee & Park.'));
  assert.match(await page.textContent('#grid tbody tr.changed th'), /^\* Company/);
  await page.setInputFiles('#icon-file', icon);
  await page.waitForFunction(() => /New icon/.test(document.getElementById('status').textContent));
  const downloaded = await brandAndDownload(page);
  const expected = cliBrand(typical, [['Company', 'Lee & Park'], ['Website', 'https://lee.example']], icon);
  assert.ok(downloaded.equals(expected), `downloaded ${downloaded.length} bytes differ from the CLI's ${expected.length}`);
  assert.deepEqual(stray, []);
  assert.deepEqual(await violations(), []);
  await page.close();
});

test('bad books are refused in the native words and the page stays usable', async () => {
  const { page } = await openPage(browser.context);
  await page.selectOption('#code-page', '1252');
  const notExe = join(work, 'notes.exe');
  writeFileSync(notExe, 'plain text, no executable');
  const damaged = join(work, 'damaged.exe');
  const bytes = readFileSync(typical);
  // The cabinet's first data block cut to noise: the pages cannot be unpacked.
  const at = bytes.indexOf(Buffer.from('MSCF'));
  bytes.fill(0x5a, at + 0x60, at + 0x400);
  writeFileSync(damaged, bytes);
  const cases = [
    [join(samples, 'cycle.exe'), 'Cycling reference encountered during loading variable "Edition"'],
    [damaged, 'File "damaged.exe" is a damaged eBook: its pages cannot be unpacked'],
    [notExe, 'not an executable image'],
  ];
  for (const [book, words] of cases) {
    await openBook(page, book);
    assert.ok((await page.textContent('#error')).includes(words), `${book}: ${await page.textContent('#error')}`);
    // Still usable: the good book opens next.
    await openBook(page, typical);
    assert.equal(await page.textContent('#error'), '');
  }
  await page.close();
});

test('the workflow runs with the keyboard alone', async () => {
  const { page } = await openPage(browser.context, `?stamp=${stamp}`);
  await page.selectOption('#code-page', '1252');
  // A picker cannot be driven by keys in a headless browser: the focus reaches it, the file is set.
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'book-file');
  const copy = join(work, 'keys.exe');
  copyFileSync(typical, copy);
  await openBook(page, copy);
  // Tab to the Company value, type, then on to the button and press it.
  await page.focus('#code-page');
  let guard = 0;
  while (await page.evaluate(() => document.activeElement.getAttribute('aria-labelledby') &&
      document.getElementById(document.activeElement.getAttribute('aria-labelledby')).textContent) !== 'Company' && guard++ < 40)
    await page.keyboard.press('Tab');
  await page.keyboard.press('Control+A');
  await page.keyboard.type('Keys Press');
  await page.waitForFunction(() => document.body.textContent.includes('Copyright 2025 Keys Press.'));
  guard = 0;
  while (await page.evaluate(() => document.activeElement.id) !== 'brand' && guard++ < 60)
    await page.keyboard.press('Tab');
  const [download] = await Promise.all([page.waitForEvent('download'), page.keyboard.press('Enter')]);
  const downloaded = readFileSync(await download.path());
  assert.ok(downloaded.equals(cliBrand(copy, [['Company', 'Keys Press']])));
  await page.close();
});
