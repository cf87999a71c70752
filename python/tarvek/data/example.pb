META
key;value
description;Brelmoor neighbourhood budget 2026 (invented example)
country;Nowhere
unit;Brelmoor
instance;2026
num_projects;8
num_votes;30
budget;100000
vote_type;approval
rule;greedy
currency;EUR
comment;An invented election of an invented small town, for trying out tarvek. The selected column records the outcome of a greedy count (most votes first) for comparison.
PROJECTS
project_id;cost;votes;name;selected
1;18000;14;Playground at Mill Square;1
2;21000;7;Bike lane along Canal Road;0
3;9500;8;Library open on Sundays;1
4;12000;7;Trees for Station Street;0
5;27000;12;New railings for the Old Bridge;1
6;6500;6;Community garden in North End;0
7;35000;14;Skate park by the river;1
8;4800;9;Benches and shade at the market;1
VOTES
voter_id;vote
v01;7,1,5
v02;7,1,5
v03;7,1,5
v04;7,1,5
v05;7,1,5
v06;7,1,5
v07;7,1,5
v08;7,5,8
v09;7,5,8
v10;7,5,8
v11;7,5,8
v12;7,1
v13;7,1
v14;7,1
v15;2,4
v16;2,4
v17;2,4
v18;2,4
v19;2,4
v20;2,4,1
v21;2,4,1
v22;6,3
v23;6,3
v24;6,3
v25;6,3
v26;6,3,8
v27;6,3,8
v28;3,8,1
v29;3,8,1
v30;5,8
