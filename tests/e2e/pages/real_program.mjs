// Driven by test_pages_real.py against the running program (PORT, TOKEN in
// the environment): the home page follows "/api/abrir", the log viewer shows
// the program's own lines, "Guardar clip" asks for a clip; prints one JSON
// line of findings and page-weight figures for the python side to check.
import { launch, watchRealPage } from './support.mjs';

const base = `http://127.0.0.1:${process.env.PORT}`;
const token = process.env.TOKEN;
const out = { errors: [], outside: [], weight: {} };
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
  const page = await context.newPage();
  watchRealPage(page, base, out);

  // Page weight: size as served and request-to-load time, for each page.
  for (const p of ['/', '/ayuda']) {
    const w = await context.newPage();
    const resp = await w.goto(`${base}${p}?t=${token}&embed=1`, { waitUntil: 'load' });
    const body = await resp.body();
    const t = await w.evaluate(() => { const n = performance.getEntriesByType('navigation')[0]; return n.loadEventStart - n.requestStart; });
    out.weight[p] = { bytes: body.length, load_ms: Math.round(t) };
    await w.close();
  }

  // Starts on the help tab: the clips page is not served by this build yet.
  await page.goto(`${base}/?t=${token}#ayuda`);
  await page.frameLocator('iframe[title="ayuda"]').locator('#manual.on').waitFor({ timeout: 30000 });
  // Another part of the program asks for the log: the page follows.
  const asked = Date.now();
  const r = await page.evaluate(async ([t]) => (await fetch(`/api/abrir?t=${t}&tab=ayuda:registro`)).status, [token]);
  out.abrir_status = r;
  await page.waitForFunction(() => location.hash === '#ayuda:registro', null, { timeout: 30000 });
  out.follow_ms = Date.now() - asked;
  const help = page.frameLocator('iframe[title="ayuda"]');
  await help.locator('#registro.on').waitFor({ timeout: 30000 });
  await page.waitForFunction(() => {
    const f = document.querySelector('iframe[title="ayuda"]');
    const log = f && f.contentDocument && f.contentDocument.getElementById('log');
    return log && log.textContent !== 'Cargando…';
  }, null, { timeout: 30000 });
  out.log_text = await help.locator('#log').textContent();

  await page.click('#save');
  await page.waitForFunction(() => document.getElementById('toast').classList.contains('show'), null, { timeout: 30000 });
  out.toast = await page.locator('#toast').textContent();
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
