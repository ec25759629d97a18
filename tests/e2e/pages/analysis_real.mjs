// Driven by test_pages_analysis_real.py: the clips page of the real server
// (BASE, TOKEN, CLIP in the environment), against a stand-in of the AI
// service. The clip's 🧠 button opens the analysis pop-up, which starts an
// analysis, follows its progress, reads the result and clicks a moment; the
// clips page, loaded again, marks the clip as analysed. Prints one JSON line
// of findings for the python side to check.
import path from 'node:path';
import { mkdirSync } from 'node:fs';
import { launch, settled, trackCalls } from './support.mjs';

const base = process.env.BASE;
const token = process.env.TOKEN;
const clip = process.env.CLIP;
const shots = path.join(process.env.CORVANE_BUILD_DIR, 'test-artefacts', 'pages');
mkdirSync(shots, { recursive: true });
const out = { errors: [], outside: [], samples: [], polls_after: 0 };
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1320, height: 920 } });
  await context.addInitScript(trackCalls);
  // Listened to on the context, so the pop-up is heard from its first request.
  context.on('weberror', (e) => out.errors.push(e.error().message));
  context.on('console', (m) => { if (m.type() === 'error') out.errors.push(m.text()); });
  context.on('response', (r) => { if (r.status() >= 400) out.errors.push(r.status() + ' ' + r.url()); });
  context.on('request', (r) => { const u = r.url(); if (!u.startsWith(base + '/') && !u.startsWith('data:')) out.outside.push(u); });
  let polls = 0;
  context.on('request', (r) => { if (r.url().startsWith(base + '/api/analisis?')) polls += 1; });

  // The clips page lists the clip; its 🧠 button opens the analysis pop-up.
  const clips = await context.newPage();
  await clips.goto(`${base}/clips?t=${token}`);
  await clips.click('#periods [data-v="todo"]');
  const positions = await clips.evaluate((name) => NAMING.get(name) || [], clip);
  if (positions.length !== 1) throw new Error(`the clips page lists ${clip} ${positions.length} times: ${JSON.stringify([...await clips.evaluate(() => [...NAMING.keys()])])}`);
  const ai = clips.locator(`#list .ev[data-p="${positions[0]}"] [data-act=ia]`);
  out.ai_button = await ai.innerText();
  const [page] = await Promise.all([clips.waitForEvent('popup'), ai.click()]);
  out.popup_url = page.url();
  out.popup_name = await page.evaluate(() => window.name);
  out.opener_is_clips = await page.evaluate(() => window.opener !== null && window.opener.location.pathname === '/clips');

  await page.waitForLoadState('domcontentloaded');
  out.can_play = await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="avc1.640028, mp4a.40.2"'));
  await page.waitForFunction(() => video.readyState >= 1 && !document.getElementById('go').disabled, null, { timeout: 30000 });
  out.title = await page.title();
  out.duration = await page.evaluate(() => video.duration);
  out.button = await page.locator('#go').innerText();

  // What the progress block shows, sampled while it is shown.
  await page.evaluate(() => {
    window.samples = [];
    const $ = (id) => document.getElementById(id);
    setInterval(() => {
      if (getComputedStyle($('prog')).display !== 'block') return;
      const s = { stage: $('stage').textContent, bar: $('bar2').style.width, model: $('model').textContent, tiles: $('tiles').innerText,
        thoughts: $('thoughts').innerText, log: $('log').innerText, button_disabled: $('go').disabled };
      const last = samples[samples.length - 1];
      if (!last || JSON.stringify(last) !== JSON.stringify(s)) samples.push(s);
    }, 100);
  });
  await page.click('#go');
  await page.waitForFunction(() => document.getElementById('thoughts').innerText.includes('pelea'), null, { timeout: 90000 });
  await page.screenshot({ path: path.join(shots, 'analisis-real-progreso.png') });
  await page.waitForFunction(() => document.getElementById('result').classList.contains('on')
    && getComputedStyle(document.getElementById('prog')).display === 'none', null, { timeout: 120000 });
  out.samples = await page.evaluate(() => samples);
  out.error_box = await page.evaluate(() => getComputedStyle(document.getElementById('err')).display);
  out.headings = await page.locator('#result h2').allInnerTexts();
  out.resumen = await page.locator('#result .big').innerText();
  out.moments = await page.locator('.moment').allInnerTexts();
  out.badge = await page.locator('#fair .badge').innerText();
  out.foot = await page.locator('#foot').textContent();
  out.button_after = await page.locator('#go').innerText();
  await page.screenshot({ path: path.join(shots, 'analisis-real-resultado.png'), fullPage: true });

  // Polling has stopped with the run: no poll is set. That nothing asks later
  // can only be waited for: three times the 800 ms of a running poll, timed by
  // the page's own timers (a poll due sooner fires first however slow the
  // machine), then every call the page made answered, so each was counted.
  await page.waitForFunction(() => pollTimer === null, null, { timeout: 30000 });
  const before = polls;
  await page.evaluate(() => new Promise((done) => setTimeout(done, 3000)));
  await settled(page);
  out.polls_after = polls - before;

  // A moment seeks the video to it and plays its segment: from the clip's end
  // back to the moment.
  await page.evaluate(() => new Promise((done) => {
    video.addEventListener('seeked', done, { once: true });
    video.currentTime = video.duration - 0.3;
  }));
  out.before_click = await page.evaluate(() => video.currentTime);
  await page.locator('.moment').first().click();
  out.segment_text = await page.locator('#segText').innerText();
  out.segment = await page.evaluate(() => seg && [seg.start, seg.end]);
  await page.waitForFunction(() => !video.paused && video.currentTime > 0.2, null, { timeout: 30000 });
  out.played = await page.evaluate(() => [video.currentTime, video.paused]);

  // Back on the clips page: loaded again, the clip's button tells it has an analysis.
  await clips.reload();
  await clips.click('#periods [data-v="todo"]');
  out.ai_button_after = await ai.innerText();
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
