// Times open and brand of the benchmark book (100 MB of content) in the page, in headless
// Debian chromium, against the native folioset-cli in the same run, and gives the module's
// size. Not a test: figures for a note.
//   node bench/web_compare.mjs [--build build/release] [--site build/web/site] [--rounds 3]
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { loadavg, tmpdir } from 'node:os';
import { join } from 'node:path';
import { gzipSync } from 'node:zlib';

const option = (name, fallback) => {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : fallback;
};
const build = option('--build', 'build/release');
process.env.FOLIOSET_WEB_SITE = option('--site', 'build/web/site');
process.env.FOLIOSET_CLI = join(build, 'src', 'cli', 'folioset-cli');
const rounds = Number(option('--rounds', '3'));
const { launch, openPage, openBook, cli, site } = await import('../tests/web/browser.mjs');

const work = mkdtempSync(join(tmpdir(), 'folioset-web-bench-'));
const seconds = (start) => Number(process.hrtime.bigint() - start) / 1e9;
const timed = (action) => { const start = process.hrtime.bigint(); action(); return seconds(start); };
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const module = readFileSync(join(site, 'folioset.js'));
console.log(`module folioset.js: ${(module.length / 1e6).toFixed(2)} MB, gzip -9 ` +
  `${(gzipSync(module, { level: 9 }).length / 1e6).toFixed(2)} MB`);
console.log(`load average at start: ${loadavg()[0].toFixed(1)}`);

execFileSync(join(build, 'bench', 'make_bench_book'), [work]);
const book = join(work, 'book.exe');
console.log(`book: ${(statSync(book).size / 1e6).toFixed(1)} MB`);

const browser = await launch();
const rows = { open: { native: [], page: [] }, brand: { native: [], page: [] } };
try {
  for (let round = 1; round <= rounds; ++round) {
    const stamp = { ...process.env, SOURCE_DATE_EPOCH: '1767225600' };
    rows.open.native.push(timed(() => execFileSync(cli, ['show', book], { env: stamp })));
    rows.brand.native.push(timed(() => execFileSync(cli,
      ['brand', '--quiet', '-s', 'Author=Ann', '-o', join(work, 'native.exe'), book], { env: stamp })));

    const { page } = await openPage(browser.context, '?stamp=1767225600');
    let start = process.hrtime.bigint();
    await openBook(page, book);
    rows.open.page.push(seconds(start));
    const row = page.locator('#grid tbody tr', { has: page.locator('th', { hasText: 'Author' }) });
    await row.locator('input').fill('Ann');
    await page.waitForFunction(() => !document.body.hasAttribute('aria-busy'));
    start = process.hrtime.bigint();
    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 600000 }), page.click('#brand')]);
    await download.path();
    rows.brand.page.push(seconds(start));
    const same = readFileSync(await download.path()).equals(readFileSync(join(work, 'native.exe')));
    console.log(`round ${round}: open ${rows.open.page.at(-1).toFixed(2)} s page / ` +
      `${rows.open.native.at(-1).toFixed(2)} s native, brand ${rows.brand.page.at(-1).toFixed(2)} s / ` +
      `${rows.brand.native.at(-1).toFixed(2)} s, same bytes: ${same}`);
    await page.close();
  }
} finally {
  await browser.close();
  rmSync(work, { recursive: true, force: true });
}
for (const [step, { native, page }] of Object.entries(rows))
  console.log(`${step}: page ${median(page).toFixed(2)} s, native ${median(native).toFixed(2)} s, ` +
    `ratio ${(median(page) / median(native)).toFixed(2)} (medians of ${rounds})`);
console.log(`load average at end: ${loadavg()[0].toFixed(1)}`);
