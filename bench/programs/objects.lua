-- Records as objects: 1000 particles, each moved 800 times, bouncing off the walls.
local particles = {}
local seed = 1
for i = 0, 999 do
  seed = (seed * 75 + 74) % 65537
  local x = seed % 1000
  seed = (seed * 75 + 74) % 65537
  local y = seed % 1000
  particles[#particles + 1] = {x = x, y = y, vx = i % 7 - 3, vy = i % 5 - 2, bounces = 0}
end

for step = 1, 800 do
  for _, p in ipairs(particles) do
    p.x = p.x + p.vx
    p.y = p.y + p.vy
    if p.x < 0 or p.x > 999 then
      p.vx = -p.vx
      p.bounces = p.bounces + 1
    end
    if p.y < 0 or p.y > 999 then
      p.vy = -p.vy
      p.bounces = p.bounces + 1
    end
  end
end

local total = 0
for _, p in ipairs(particles) do total = total + p.x + p.y + p.bounces end
print(total)
