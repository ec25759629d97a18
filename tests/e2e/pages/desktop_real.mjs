// Driven by test_pages_desktop_real.py against the running program (BASE,
// TOKEN, CLIP in the environment): opens every page the program serves,
// shows every section, asks for an update search, and keeps every text body
// the server sent (pages, scripts, JSON) and every text the pages show.
// Prints one JSON line for the python side to check.
import { launch } from './support.mjs';

const base = process.env.BASE;
const token = process.env.TOKEN;
const clip = process.env.CLIP;
const out = { errors: [], outside: [], bodies: [], shown: {} };
const pending = [];
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
  context.on('response', (r) => {
    const u = r.url();
    const type = r.headers()['content-type'] || '';
    if (!u.startsWith(base + '/') || /^(video|audio)\//.test(type)) return;
    pending.push(r.body().then((b) => { out.bodies.push({ url: u.replace(token, 'TOKEN'), type, text: b.toString('utf8') }); }, () => {}));
  });
  context.on('request', (r) => { const u = r.url(); if (!u.startsWith(base + '/') && !u.startsWith('data:')) out.outside.push(u); });
  const open = async (address) => {
    const page = await context.newPage();
    page.on('pageerror', (e) => out.errors.push(address + ': ' + e.message));
    await page.goto(base + address.replace('TOKEN', token), { waitUntil: 'load' });
    return page;
  };
  // Every text of a page, its frames' included, hidden sections and list entries too.
  const allText = (page) => Promise.all(page.frames().map((f) => f.evaluate(() => {
    const parts = [document.title, document.body ? document.body.textContent : ''];
    for (const e of document.querySelectorAll('[placeholder], [title], [aria-label]')) {
      parts.push(e.getAttribute('placeholder') || '', e.getAttribute('title') || '', e.getAttribute('aria-label') || '');
    }
    return parts.join('\n');
  }).catch(() => ''))).then((t) => t.join('\n'));

  // The settings page, embedded and on its own: every section is built at start.
  for (const address of ['/ajustes?t=TOKEN&embed=1', '/ajustes?t=TOKEN']) {
    const page = await open(address);
    await page.waitForSelector('section.card.on', { timeout: 60000 });
    out.shown[address] = await allText(page);
    if (!out.codec) {
      out.codec = await page.evaluate(() => {
        const sel = [...document.querySelectorAll('select')].find((s) => s.getAttribute('aria-label') === 'Codec');
        return { selected: sel.options[sel.selectedIndex].textContent, help: sel.closest('.row').querySelector('.help').textContent };
      });
    }
    await page.close();
  }

  // The help page: each section loads its data when shown; then a search.
  {
    const page = await open('/ayuda?t=TOKEN');
    for (const sec of ['manual', 'actualizaciones', 'registro', 'apoyar', 'acerca']) {
      await page.click(`#nav [data-sec="${sec}"]`);
      await page.waitForSelector(`#${sec}.on`, { timeout: 60000 });
    }
    await page.waitForFunction(() => !['Cargando…'].includes(document.getElementById('log').textContent), null, { timeout: 60000 });
    await page.waitForFunction(() => document.getElementById('manualText').textContent !== 'Cargando…', null, { timeout: 60000 });
    await page.click('#nav [data-sec="actualizaciones"]');
    const asked = page.waitForResponse((r) => r.url().startsWith(base + '/api/actualizacion') && r.request().method() === 'POST');
    await page.click('#updSearch');
    out.search_reply = await (await asked).json();
    // Once the updater is idle again, the page (which follows it every second) shows its message.
    let state = null;
    for (const end = Date.now() + 90000; Date.now() < end; await new Promise((r) => setTimeout(r, 300))) {
      state = await page.evaluate((t) => fetch('/api/actualizacion', { headers: { 'X-CRVN-Clave': t } }).then((r) => r.json()), token);
      if (state.ocupado !== true && state.fase !== 'buscando') break;
    }
    await page.waitForFunction((m) => document.getElementById('updMsg').textContent === m, state.mensaje, { timeout: 60000 });
    out.update_message = await page.locator('#updMsg').textContent();
    out.shown['/ayuda'] = await allText(page);
    await page.close();
  }

  // The home page with its tabs' frames, the clips page and the analysis pop-up.
  for (const address of ['/?t=TOKEN', '/clips?t=TOKEN', `/analisis?t=TOKEN&clip=${encodeURIComponent(clip)}`]) {
    const page = await open(address);
    await page.waitForLoadState('networkidle').catch(() => {});
    out.shown[address] = await allText(page);
    await page.close();
  }

  // The JSON the pages read, each asked for once more by name.
  {
    const page = await open('/ajustes?t=TOKEN&embed=1');
    await page.evaluate(async ([t, c]) => {
      const get = (p) => fetch(p, { headers: { 'X-CRVN-Clave': t } }).then((r) => r.text());
      for (const p of ['/api/estado', '/api/pestana', '/api/registro', '/api/manual?lang=es', '/api/manual?lang=en',
        '/api/actualizacion', '/api/analisis?clip=' + encodeURIComponent(c)]) await get(p);
    }, [token, clip]);
    await page.close();
  }
  await Promise.all(pending);
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
