// Driven by test_manual.py against the running program (PORT, TOKEN in the
// environment): the help page draws the real manual in each language; prints
// one JSON line with what was drawn for the python side to check.
import { launch, watchRealPage } from './support.mjs';

const base = `http://127.0.0.1:${process.env.PORT}`;
const token = process.env.TOKEN;
const out = { errors: [], outside: [] };
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
  const page = await context.newPage();
  watchRealPage(page, base, out);

  await page.goto(`${base}/ayuda?t=${token}&embed=1#manual`);
  for (const lang of ['es', 'en']) {
    // A mark that the drawing of the chosen language replaces.
    await page.waitForFunction(() => document.querySelector('#manualText h1'), null, { timeout: 30000 });
    await page.evaluate(() => document.getElementById('manualText').append(Object.assign(document.createElement('i'), { id: 'stale' })));
    await page.click(`#langs [data-lang=${lang}]`);
    await page.waitForFunction(() => !document.getElementById('stale') && document.querySelector('#manualText h1'), null, { timeout: 30000 });
    out[lang] = await page.evaluate(() => {
      const t = document.getElementById('manualText');
      const count = {};
      for (const k of ['h1', 'h2', 'h3', 'ul', 'ol', 'li', 'table', 'tr', 'blockquote', 'code', 'strong', 'em', 'hr']) {
        count[k] = t.querySelectorAll(k).length;
      }
      const links = [...t.querySelectorAll('a')];
      const http = links.filter((a) => /^https?:/.test(a.getAttribute('href')));
      count.a_http = http.length;
      const inPage = links.filter((a) => a.getAttribute('href').startsWith('#'));
      return {
        marked: [...document.querySelectorAll('#langs .btn.on')].map((b) => b.dataset.lang),
        count,
        toc: document.querySelectorAll('#toc a').length,
        http: http.map((a) => a.getAttribute('href')),
        http_targets: http.map((a) => a.getAttribute('target')),
        mailto: links.filter((a) => a.getAttribute('href').startsWith('mailto:')).map((a) => a.getAttribute('href')),
        // In-page links and the table of contents lead to a heading of the manual.
        missing_targets: [...inPage, ...document.querySelectorAll('#toc a')]
          .map((a) => a.getAttribute('href').slice(1))
          .filter((id) => !t.querySelector(`[id="${CSS.escape(id)}"]`)),
        other_links: links.filter((a) => !/^(https?:|mailto:|#)/.test(a.getAttribute('href'))).length,
        text: t.innerText,
      };
    });
    // A click on an in-page link scrolls to its heading and keeps the address.
    const link = page.locator('#manualText a[href^="#"]').first();
    const id = (await link.getAttribute('href')).slice(1);
    await link.click();
    await page.waitForFunction((i) => {
      const r = document.getElementById(i).getBoundingClientRect();
      return r.top >= -2 && r.top < window.innerHeight / 2;
    }, id, { timeout: 30000 });
    await page.evaluate(() => window.scrollTo(0, 0));
  }
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
