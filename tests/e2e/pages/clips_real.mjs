// Driven by test_clips_page_real.py against the running program (PORT, TOKEN,
// KILL, MANUAL in the environment: the clip names the python side prepared).
// Plays a real clip in its segment with its voice track, archives it, deletes
// two events (one with its clip) and a manual clip through the page; prints
// one JSON line of findings for the python side to check against the disk.
import { launch } from './support.mjs';

const base = `http://127.0.0.1:${process.env.PORT}`;
const token = process.env.TOKEN;
const out = { errors: [], outside: [], notes: [] };
const wait = (page, fn, arg) => page.waitForFunction(fn, arg, { timeout: 30000 });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => out.errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') out.errors.push(m.text()); });
  page.on('request', (r) => { const u = r.url(); if (!u.startsWith(base + '/') && !u.startsWith('data:')) out.outside.push(u); });
  page.on('dialog', (d) => { out.notes.push(d.message()); d.accept(); });
  await page.goto(`${base}/clips?t=${token}`);
  await page.click('#periods [data-v="todo"]');
  out.count = await page.locator('#count').textContent();
  out.can_h264 = await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="avc1.640028, mp4a.40.2"'));

  // The kill's segment: 2 s to 9 s of the clip, repeated.
  const kill = page.locator('#list .ev', { hasText: 'Zeta' });
  await kill.locator('[data-act=ver]').click();
  await wait(page, () => seg !== null && !document.getElementById('vid').paused);
  out.segment = await page.evaluate(() => seg);
  out.mic_shown = await page.locator('#micWrap').isVisible();
  // Sample the position until it has wrapped twice; it never leaves the segment.
  const samples = [];
  let wraps = 0;
  let prev = null;
  for (let i = 0; i < 400 && wraps < 2; i++) {
    const t = await page.evaluate(() => document.getElementById('vid').currentTime);
    samples.push(t);
    if (prev !== null && t < prev - 1) wraps++;
    prev = t;
    await sleep(50);
  }
  out.wraps = wraps;
  out.min_t = Math.min(...samples);
  out.max_t = Math.max(...samples);
  // Without repeat the video stops at the segment's end.
  await page.click('#loop');
  await page.evaluate(() => { document.getElementById('vid').currentTime = seg.start + 4; });
  await wait(page, () => document.getElementById('vid').paused);
  out.stopped_at = await page.evaluate(() => document.getElementById('vid').currentTime);
  await page.click('#loop');

  // The voice track keeps in step with the video: after seeks and at 0.4×.
  const drift = () => page.evaluate(() => Math.abs(voice.currentTime - document.getElementById('vid').currentTime));
  await page.click('#whole');
  out.drift = [];
  for (const step of ['seek 1', 'seek 7', 'slow', 'seek 3 slow']) {
    await page.evaluate((s) => {
      const v = document.getElementById('vid');
      if (s === 'slow') document.getElementById('slow').click();
      else v.currentTime = Number(s.split(' ')[1]);
      if (v.paused) v.play();
    }, step);
    await wait(page, () => { const v = document.getElementById('vid'); return !v.paused && !v.seeking && !voice.paused && !voice.seeking; });
    // A voice seek lags the picture by a moment and the gap then closes; on a
    // loaded machine that takes longer, so wait for it rather than a fixed time.
    // Two clocks read in one step still differ by how recently each was
    // updated, so a single read can spike: what is heard is the typical gap,
    // the median of 11 reads over a second.
    const window = async () => {
      const d = [];
      for (let i = 0; i < 11; i++) { d.push(await drift()); await sleep(100); }
      d.sort((a, b) => a - b);
      return { step, median: d[5], max: d[10] };
    };
    const settleBy = Date.now() + 30000;
    let w = await window();
    while (w.median > 0.1 && Date.now() < settleBy) w = await window();
    out.drift.push(w);
  }
  out.rates = await page.evaluate(() => [document.getElementById('vid').playbackRate, voice.playbackRate]);
  await page.click('#slow');

  // Archive it from the player.
  await page.click('#pArch');
  await wait(page, () => document.getElementById('toast').textContent.startsWith('📌 Archivado'));
  out.archived_label = await page.locator('#pArch').textContent();
  await page.keyboard.press('Escape');

  // Delete the two other events: the death takes its clip along.
  for (const who of ['Borrar', 'Muerto']) await page.locator('#list .ev', { hasText: who }).locator('input.rowck').click();
  await page.keyboard.press('Delete');
  out.confirm = [await page.locator('#cfTitle').textContent(), await page.locator('#cfText').textContent()];
  await Promise.all([page.waitForEvent('load', { timeout: 30000 }), page.click('#cfOk')]);
  await page.click('#periods [data-v="todo"]');
  out.rows_after = await page.$$eval('#list .ev', (r) => r.map((x) => x.querySelector('.hl').textContent));

  // The manual clip, from its player.
  await page.locator('#list .ev', { hasText: 'Clip manual' }).locator('[data-act=ver]').click();
  await wait(page, () => document.getElementById('whole').classList.contains('on'));
  await Promise.all([page.waitForEvent('load', { timeout: 30000 }), page.click('#pDel')]);
  await page.click('#periods [data-v="todo"]');
  out.rows_final = await page.$$eval('#list .ev', (r) => r.map((x) => x.querySelector('.hl').textContent));
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
