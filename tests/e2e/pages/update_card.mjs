// Driven by test_update.py against the running program (PORT, TOKEN in the
// environment), once its start-up check has found a newer version: the help
// page's update card shows it from the real "/api/actualizacion", and its
// install button, once confirmed, asks the program to install. Prints one
// JSON line of findings for the python side to check.
import { launch } from './support.mjs';

const base = `http://127.0.0.1:${process.env.PORT}`;
const token = process.env.TOKEN;
const out = { errors: [] };
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => out.errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') out.errors.push(m.text()); });
  page.on('dialog', (d) => { out.dialog = d.message(); d.accept(); });
  await page.goto(`${base}/ayuda?t=${token}#actualizaciones`);
  const install = page.locator('#updInstall');
  await install.waitFor({ state: 'visible', timeout: 30000 });
  out.message = await page.locator('#updMsg').textContent();
  out.button = await install.textContent();
  out.notes = await page.$$eval('#updNotes h3', (h) => h.map((x) => x.textContent));
  out.key = await page.locator('#updKey').textContent();
  await install.click();
  await page.waitForFunction(() => document.getElementById('toast').classList.contains('show'), null, { timeout: 30000 });
  out.toast = await page.locator('#toast').textContent();
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
