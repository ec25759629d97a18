// The help page on stubbed routes: sections, the manual and its Markdown, the
// update card, the switch, the log.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openStubbed, finish, screenshot, until, settled, TOKEN } from './pages/support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const MANUAL = '# Corvane\n\n## Configuración rápida\nTexto con **negrita** y `code **b**`.\n\n## Teclas y atajos\n- uno\n- dos';
const IDLE = { fase: 'idle', mensaje: '', ocupado: false, nueva: null, ultima_busqueda: 0, tecla: '', juego_al_frente: false };
function help(hash, api = {}, extra = {}) {
  const base = {
    '/api/manual': (u) => ({ ok: true, md: MANUAL + ' ' + u.searchParams.get('lang') }),
    '/api/actualizacion': () => IDLE,
    '/api/estado': () => ({ valores: { 'actualizaciones.buscar_al_abrir': 'si' } }),
    '/api/registro': () => ({ texto: 'linea 1\nlinea 2' }),
  };
  return openStubbed(browser, { pageName: 'ayuda.html', pathAndHash: `/ayuda?t=${TOKEN}&embed=1${hash}`, api: { ...base, ...api }, ...extra });
}
const paths = (s) => s.seen.calls.map((c) => c.path);
const shownSection = (page) => page.evaluate(() => document.querySelector('section.card.on').id);

test('the first section: fragment, stored section, default', async () => {
  const rows = [
    ['#actualizaciones', {}, 'actualizaciones', ['/api/actualizacion', '/api/estado']],
    ['#nada', {}, 'manual', ['/api/manual?lang=es']],
    ['', { crvn_help_sec: 'registro' }, 'registro', ['/api/registro']],
    ['', {}, 'manual', ['/api/manual?lang=es']],
  ];
  for (const [hash, storage, sec, calls] of rows) {
    const s = await help(hash, {}, { storage });
    await until(s.page, (n) => performance.getEntriesByType('resource').length >= n, calls.length);
    assert.equal(await shownSection(s.page), sec, hash);
    assert.deepEqual(paths(s).sort(), calls.sort(), hash);
    assert.equal(await s.page.evaluate(() => localStorage.getItem('crvn_help_sec')), sec);
    await finish(s);
  }
});

test('the manual language: stored "en", an unknown one, and fetched once', async () => {
  for (const [stored, lang, marked] of [['en', 'en', ['en']], ['fr', 'fr', []]]) {
    const s = await help('#manual', {}, { storage: { crvn_man_lang: stored } });
    await until(s.page, () => document.querySelector('#toc a'));
    assert.deepEqual(paths(s), [`/api/manual?lang=${lang}`]);
    assert.deepEqual(await s.page.$$eval('#langs .btn.on', (b) => b.map((x) => x.dataset.lang)), marked);
    await s.page.click('#nav [data-sec=acerca]');
    await s.page.click('#nav [data-sec=manual]');
    assert.deepEqual(paths(s), [`/api/manual?lang=${lang}`], 'not fetched again');
    await s.page.click('#langs [data-lang=es]');
    await until(s.page, () => document.querySelector('#langs .btn.on')?.dataset.lang === 'es');
    assert.equal(await s.page.evaluate(() => localStorage.getItem('crvn_man_lang')), 'es');
    await finish(s);
  }
});

test('the manual: its table of contents, a refusal and no answer', async () => {
  let s = await help('#manual');
  await until(s.page, () => document.querySelectorAll('#toc a').length === 2);
  assert.deepEqual(await s.page.$$eval('#toc a', (a) => a.map((x) => [x.getAttribute('href'), x.textContent])),
    [['#configuracion-rapida', 'Configuración rápida'], ['#teclas-y-atajos', 'Teclas y atajos']]);
  await s.page.click('#toc a[href="#teclas-y-atajos"]');
  assert.equal(await s.page.evaluate(() => location.hash), '#manual');
  await screenshot(s.page, 'ayuda.png');
  await finish(s);
  for (const [reply, text] of [[() => ({ ok: false, error: '<b>No hay manual</b>' }), '<b>No hay manual</b>'], [() => 'abort', 'Corvane no responde.']]) {
    s = await help('#manual', { '/api/manual': reply });
    await until(s.page, (t) => document.getElementById('manualText').textContent === t, text);
    assert.equal(await s.page.$$eval('#manualText *', (e) => e.length), 0);
    s.seen.errors.splice(0);
    await finish(s);
  }
});

test('Markdown blocks and inline rules', async () => {
  const s = await help('#acerca');
  const rows = [
    ['#### cuatro', '<p>#### cuatro</p>'],
    ['#sin espacio', '<p>#sin espacio</p>'],
    ['## Teclas y atajos', '<h2 id="teclas-y-atajos">Teclas y atajos</h2>'],
    ['## ¿Qué hay? ', '<h2 id="que-hay">¿Qué hay? </h2>'],
    ['- a\n\n- b', '<ul><li>a</li></ul><ul><li>b</li></ul>'],
    ['- a\n  - b\n- c', '<ul><li>a<ul><li>b</li></ul></li><li>c</li></ul>'],
    ['3. a\n7. b\n  sigue', '<ol><li>a</li><li>b sigue</li></ol>'],
    ['| A | B |\n|---|---|\n| 1 | 2 |', '<table><thead><tr><th>A</th><th>B</th></tr></thead><tbody><tr><td>1</td><td>2</td></tr></tbody></table>'],
    ['> uno\n>dos', '<blockquote>uno dos</blockquote>'],
    ['texto\n---', '<p>texto ---</p>'],
    ['---', '<hr>'],
    ['`a **b** c`', '<p><code>a <strong>b</strong> c</code></p>'],
    ['*en* y **fuerte** y 2 * 3 * 4', '<p><em>en</em> y <strong>fuerte</strong> y 2 * 3 * 4</p>'],
    ['[web](https://x.example/a?b=1&c=2)', '<p><a href="https://x.example/a?b=1&amp;c=2" target="_blank" rel="noopener noreferrer">web</a></p>'],
    ['[aquí](#teclas) [m](mailto:a@b.c)', '<p><a href="#teclas">aquí</a> <a href="mailto:a@b.c">m</a></p>'],
    ['[x](javascript:alert(1)) [y](data:text/html,hi)', '<p>[x](javascript:alert(1)) [y](data:text/html,hi)</p>'],
    ['<script>alert(1)</script> "q"', '<p>&lt;script&gt;alert(1)&lt;/script&gt; &quot;q&quot;</p>'],
    ['a\r\nb', '<p>a b</p>'],
  ];
  for (const [src, html] of rows) {
    assert.equal(await s.page.evaluate((t) => md(t).html, src), html, JSON.stringify(src));
  }
  assert.deepEqual(await s.page.evaluate(() => ['Configuración rápida', '--Hola, mundo!--', 'Ñandú'].map(slug)),
    ['configuracion-rapida', 'hola-mundo', 'nandu']);
  await finish(s);
});

test('the update card: ages, busy re-reads, notes, install while playing', async () => {
  const now = Date.parse('2026-11-02T18:00:00Z') / 1000;
  const ages = [[0, 'nunca'], [now - 30, 'hace un momento'], [now - 100, 'hace 2 min'], [now - 3599, 'hace 60 min'], [now - 7200, 'hace 2 h']];
  const s = await help('#acerca', {}, { clock: true });
  await s.page.clock.setFixedTime(new Date('2026-11-02T18:00:00Z'));
  for (const [ts, text] of ages) assert.equal(await s.page.evaluate((t) => fmtAgo(t), ts), text);
  await finish(s);

  const busy = { ...IDLE, fase: 'buscando', ocupado: true, mensaje: 'Buscando…' };
  const nueva = { version: '0.11.0', pagina: 'https://corvane.example/novedades',
    cambios: [1, 2, 3, 4, 5, 6].map((i) => ({ version: `0.10.${50 + i}`, md: `- cambio <${i}>` })) };
  const replies = [busy, busy, { ...IDLE, fase: 'disponible', mensaje: 'Hay una versión nueva', nueva, juego_al_frente: true, tecla: 'F9' }];
  let n = 0;
  const t = await help('#actualizaciones', { '/api/actualizacion': () => replies[Math.min(n++, 2)] }, { clock: true });
  const { page } = t;
  await until(page, () => document.getElementById('updMsg').textContent === 'Buscando…');
  assert.equal(await page.locator('#updSearch').isDisabled(), true);
  await page.clock.runFor(1000);
  await page.clock.runFor(1000);
  await until(page, () => document.getElementById('updMsg').textContent === 'Hay una versión nueva');
  await page.clock.runFor(5000);
  assert.equal(n, 3, 'reads stop once the updater is idle');
  assert.equal(await page.locator('#updSearch').isDisabled(), false);
  const inst = page.locator('#updInstall');
  assert.deepEqual([await inst.isVisible(), await inst.isDisabled(), await inst.getAttribute('title'), await inst.textContent()],
    [true, true, 'Estás jugando: termina primero', '⬇ Actualizar a v0.11.0']);
  assert.deepEqual(await page.$$eval('#updNotes h3', (h) => h.map((x) => x.textContent)), ['v0.10.51', 'v0.10.52', 'v0.10.53', 'v0.10.54']);
  assert.equal(await page.locator('#updNotes li').first().textContent(), 'cambio <1>');
  assert.equal(await page.locator('#updNotes a').getAttribute('rel'), 'noopener noreferrer');
  assert.equal(await page.locator('#updKey').textContent(), 'F9');
  assert.equal(await page.locator('#updDot').getAttribute('class'), 'dot gold halo');
  await screenshot(page, 'ayuda-actualizaciones.png');
  await finish(t);
});

test('search and install requests', async () => {
  const rows = [
    ['#updSearch', { a: 'buscar' }, () => ({ ok: false, error: 'Ya se está buscando' }), 'Ya se está buscando'],
    ['#updSearch', { a: 'buscar' }, () => 'abort', 'Corvane no responde'],
    ['#updInstall', { a: 'instalar' }, () => ({ ok: true }), 'Descargando e instalando… Corvane se vuelve a abrir solo'],
  ];
  for (const [button, body, reply, text] of rows) {
    let reads = 0;
    const nueva = { version: '0.11.0', pagina: '', cambios: [] };
    const s = await help('#actualizaciones', {
      '/api/actualizacion': (u, b) => (b ? reply() : (reads++, { ...IDLE, fase: 'disponible', nueva })),
    });
    let asked = null;
    s.page.on('dialog', (d) => { asked = d.message(); d.accept(); });
    await until(s.page, () => !document.getElementById('updInstall').hidden);
    await s.page.click(button);
    await until(s.page, (x) => document.getElementById('toast').textContent === x, text);
    const post = s.seen.calls.find((c) => c.method === 'POST');
    assert.deepEqual(post.body, body);
    if (button === '#updInstall') assert.match(asked, /^¿Instalar la v0\.11\.0\? Corvane se cierra un momento/);
    await s.page.waitForFunction((r) => true, null);
    await until(s.page, () => performance.getEntriesByType('resource').filter((e) => e.name.endsWith('/api/actualizacion')).length >= 3);
    s.seen.errors.splice(0);
    await finish(s);
  }
});

test('the search-at-start switch reads and saves the setting', async () => {
  const rows = [['off', false], ['NO', false], ['0', false], ['', true], ['quizá', true], [undefined, true]];
  for (const [value, on] of rows) {
    const s = await help('#actualizaciones', { '/api/estado': () => ({ valores: value === undefined ? {} : { 'actualizaciones.buscar_al_abrir': value } }),
      '/api/guardar': () => ({ ok: true }) });
    await until(s.page, () => performance.getEntriesByType('resource').some((e) => e.name.endsWith('/api/estado')));
    // A switch left as drawn at load looks the same before and after the reply.
    await settled(s.page);
    assert.equal(await s.page.locator('#updAuto').isChecked(), on, String(value));
    if (value === 'off') {
      await s.page.click('#updAuto');
      await until(s.page, () => document.getElementById('toast').textContent === 'Guardado');
      assert.deepEqual(s.seen.calls.find((c) => c.path === '/api/guardar').body,
        { cambios: [{ s: 'actualizaciones', k: 'buscar_al_abrir', v: 'si' }] });
    }
    await finish(s);
  }
});

test('the search-at-start switch says "Guardado" only when the setting was written', async () => {
  const rows = [
    [{ ok: false, errores: ['no se pudo guardar buscar_al_abrir: sin espacio', 'otro'] }, 'no se pudo guardar buscar_al_abrir: sin espacio · otro'],
    [{ ok: false }, 'No se pudo guardar'],
    ['no es un objeto', 'No se pudo guardar'],
  ];
  for (const [reply, text] of rows) {
    const s = await help('#actualizaciones', { '/api/estado': () => ({ valores: {} }), '/api/guardar': () => reply });
    await until(s.page, () => performance.getEntriesByType('resource').some((e) => e.name.endsWith('/api/estado')));
    await s.page.click('#updAuto');
    // Text and colour read together: the toast goes away after a while.
    await until(s.page, (x) => {
      const t = document.getElementById('toast');
      return t.textContent === x && t.classList.contains('err');
    }, text);
    await finish(s);
  }
});

test('the log: text, empty, unreadable, open in the editor', async () => {
  const rows = [[() => ({ texto: 'a\n<b>x</b>' }), 'a\n<b>x</b>'], [() => ({ texto: '' }), '(vacío)'], [() => ({ status: 500 }), 'No se pudo leer el registro.']];
  for (const [reply, text] of rows) {
    const s = await help('#registro', { '/api/registro': reply, '/api/accion': () => ({ ok: true }) });
    await until(s.page, (t) => document.getElementById('log').textContent === t, text);
    await s.page.click('#logOpen');
    await until(s.page, () => performance.getEntriesByType('resource').some((e) => e.name.endsWith('/api/accion')));
    assert.deepEqual(s.seen.calls.find((c) => c.path === '/api/accion').body, { a: 'registro' });
    s.seen.errors.splice(0);
    await finish(s);
  }
});

test('a section message from the home page switches the section', async () => {
  const s = await help('#manual');
  await s.page.evaluate(() => window.postMessage({ crvn: 'seccion', sec: 'registro' }, location.origin));
  await until(s.page, () => document.querySelector('section.card.on').id === 'registro');
  await s.page.evaluate(() => window.postMessage({ crvn: 'seccion', sec: 'nada' }, location.origin));
  await until(s.page, () => document.querySelector('section.card.on').id === 'manual');
  await s.page.click('#nav [data-sec=acerca]');
  await s.page.click('#aboutDonate');
  assert.equal(await shownSection(s.page), 'apoyar');
  await screenshot(s.page, 'ayuda-apoyar.png');
  await finish(s);
});
